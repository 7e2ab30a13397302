// The window's form as the user sees it: texts, grid places, buddies and
// mnemonics, tab order, what the channel box takes, and the sizes that keep
// it readable; built from the Designer file alone, no router behind it.
#include "testhelpers.h"
#include "ui/ui_brantolexmainwindow.h"

#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QImageReader>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QtEndian>
#include <QTextBlock>
#include <QToolBar>
#include <QtTest>

#include <memory>

// The form on a plain QMainWindow: what a user and the controller rely on.
class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void widgets_data();
    void widgets();
    void windowProperties_data();
    void windowProperties();
    void mnemonicsAreUnique();
    void initialState();
    void tabOrder();
    void channelTyped_data();
    void channelTyped();
    void channelStepped_data();
    void channelStepped();
    void mnemonicReachesWidget_data();
    void mnemonicReachesWidget();
    void sizeLimits_data();
    void sizeLimits();
    void aboutPage();
    void retranslateResetsLabel();
    void resources_data();
    void resources();
    void loadingAnimation();

private:
    QWidget *named(const QString &name) const { return window->findChild<QWidget *>(name); }

    std::unique_ptr<QMainWindow> window;
    std::unique_ptr<Ui_BrantolexMainWindow> ui;
};

void TestForm::init()
{
    window = std::make_unique<QMainWindow>();
    ui = std::make_unique<Ui_BrantolexMainWindow>();
    ui->setupUi(window.get());
}

void TestForm::cleanup()
{
    ui.reset();
    window.reset();
}

// Each named widget of the form, the row's tag: its class, its parent, and
// where it has them its text (for a page, its tab's), its place in a grid
// and, for a label, its buddy.
void TestForm::widgets_data()
{
    // A null text, layout or buddy: none. A cell: row, column, row span,
    // column span.
    addColumns<QString, QString, QString, QString, QList<int>, QString>(
        "className", "parentName", "text", "layoutName", "cell", "buddy");

    const QString none, page = QStringLiteral("qt_tabwidget_stackedwidget");
    using Cell = QList<int>;
    dataRow("centralWidget", "QWidget", "BrantolexMainWindow", none, none, Cell(), none);
    dataRow("l_currentPlugin", "QLabel", "centralWidget", "Plugin", "gridLayout_2",
            Cell{0, 0, 1, 2}, none);
    dataRow("tabWidget", "QTabWidget", "centralWidget", none, "gridLayout_2", Cell{1, 0, 1, 2},
            none);
    dataRow("Events", "QWidget", page, "&Events", none, Cell(), none);
    dataRow("c_sysex", "QCheckBox", "Events", "&System exclusive messages", none, Cell(), none);
    dataRow("c_midiClockMessages", "QCheckBox", "Events", "&Clock messages", none, Cell(), none);
    dataRow("c_translateCC0toPluginSelect", "QCheckBox", "Events",
            "Translate CC&0 to plugin select", none, Cell(), none);
    dataRow("Device", "QWidget", page, "&Device", none, Cell(), none);
    dataRow("c_midiOutDevice", "QComboBox", "Device", none, "gridLayout", Cell{0, 0, 1, 2}, none);
    dataRow("l_midiOutDevice", "QLabel", "Device", "&Out port", "gridLayout", Cell{0, 2, 1, 1},
            "c_midiOutDevice");
    dataRow("c_midiInDevice", "QComboBox", "Device", none, "gridLayout", Cell{1, 0, 1, 2}, none);
    // Two blanks.
    dataRow("l_midiInDevice", "QLabel", "Device", "&In  port", "gridLayout", Cell{1, 2, 1, 1},
            "c_midiInDevice");
    dataRow("c_createVirtualInput", "QCheckBox", "Device", "Create &virtual input", "gridLayout",
            Cell{2, 0, 1, 2}, none);
    dataRow("c_midiChannel", "QSpinBox", "Device", none, "gridLayout", Cell{3, 0, 1, 1}, none);
    // No mnemonic.
    dataRow("l_midiChannel", "QLabel", "Device", "Channel", "gridLayout", Cell{3, 1, 1, 2},
            "c_midiChannel");
    dataRow("About", "QWidget", page, "&About", none, Cell(), none);
    dataRow("t_About", "QTextBrowser", "About", none, "gridLayout_3", Cell{0, 0, 1, 1}, none);
}

void TestForm::widgets()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QString, text);
    QFETCH(QString, layoutName);
    QFETCH(QList<int>, cell);
    QFETCH(QString, buddy);

    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QHash<QString, QWidget *> members = {
        {"centralWidget", ui->centralWidget},
        {"l_currentPlugin", ui->l_currentPlugin},
        {"tabWidget", ui->tabWidget},
        {"Events", ui->Events},
        {"c_sysex", ui->c_sysex},
        {"c_midiClockMessages", ui->c_midiClockMessages},
        {"c_translateCC0toPluginSelect", ui->c_translateCC0toPluginSelect},
        {"Device", ui->Device},
        {"c_midiOutDevice", ui->c_midiOutDevice},
        {"l_midiOutDevice", ui->l_midiOutDevice},
        {"c_midiInDevice", ui->c_midiInDevice},
        {"l_midiInDevice", ui->l_midiInDevice},
        {"c_createVirtualInput", ui->c_createVirtualInput},
        {"c_midiChannel", ui->c_midiChannel},
        {"l_midiChannel", ui->l_midiChannel},
        {"About", ui->About},
        {"t_About", ui->t_About},
    };
    QWidget *widget = named(name);
    QVERIFY(widget);
    QCOMPARE(members.value(name), widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QVERIFY(widget->parent());
    QCOMPARE(widget->parent()->objectName(), parentName);

    if (const int tab = ui->tabWidget->indexOf(widget); tab >= 0)
        QCOMPARE(ui->tabWidget->tabText(tab), text);
    else if (!text.isNull())
        QCOMPARE(widget->property("text").toString(), text);
    if (!layoutName.isNull()) {
        auto *grid = window->findChild<QGridLayout *>(layoutName);
        QVERIFY(grid);
        QCOMPARE(grid->spacing(), 6);
        QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
        const int index = grid->indexOf(widget);
        QVERIFY(index >= 0);
        int r = -1, c = -1, rs = -1, cs = -1;
        grid->getItemPosition(index, &r, &c, &rs, &cs);
        QCOMPARE(QList<int>({r, c, rs, cs}), cell);
    }
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->buddy() ? label->buddy()->objectName() : QString(), buddy);
}

void TestForm::windowProperties_data()
{
    addColumns<QString, QString>("presetName", "expectedName");

    dataRow("unnamed window", QString(), "BrantolexMainWindow");
    dataRow("named window keeps its name", "someOtherName", "someOtherName");
}

void TestForm::windowProperties()
{
    QFETCH(QString, presetName);
    QFETCH(QString, expectedName);

    QMainWindow w;
    w.setObjectName(presetName);
    Ui_BrantolexMainWindow form;
    form.setupUi(&w);
    QCOMPARE(w.objectName(), expectedName);
    QCOMPARE(w.windowTitle(), QStringLiteral("Brantolex Fixer"));
    QCOMPARE(w.statusTip(), QString());
    QCOMPARE(w.size(), QSize(295, 194));
    QCOMPARE(w.font().family(), QStringLiteral("Ubuntu"));
    QCOMPARE(w.font().pointSizeF(), QFont().pointSizeF());
    QVERIFY(w.isEnabled());
    QCOMPARE(w.centralWidget(), form.centralWidget);
    QVERIFY(!w.findChild<QMenuBar *>());
    QVERIFY(!w.findChild<QStatusBar *>());
    QVERIFY(!w.findChild<QToolBar *>());

    const QIcon icon = w.windowIcon();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(60, 60)});
    // Compared premultiplied: the pixmap holds that form, and the way back
    // would round the antialiased edge pixels.
    QCOMPARE(icon.pixmap(60, 60).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
             QImage(QStringLiteral(":/icons/midi-connector.png"))
                 .convertToFormat(QImage::Format_ARGB32_Premultiplied));

    const QFont labelFont = form.l_currentPlugin->font();
    QCOMPARE(labelFont.family(), QStringLiteral("Arial Black"));
    QCOMPARE(labelFont.pointSize(), 15);
    // Most machines lack Arial Black; the face found instead must still be
    // a heavy one, not the thin regular face a family alone falls back to.
    QVERIFY(labelFont.bold());
    QVERIFY2(QFontInfo(labelFont).weight() >= QFont::Bold,
             qPrintable(QFontInfo(labelFont).family()));
    QCOMPARE(form.l_currentPlugin->frameShape(), QFrame::Box);
    QCOMPARE(form.l_currentPlugin->lineWidth(), 1);
    QCOMPARE(form.l_currentPlugin->styleSheet(), QString());
}

void TestForm::mnemonicsAreUnique()
{
    const QStringList texts = {
        ui->c_sysex->text(),
        ui->c_midiClockMessages->text(),
        ui->c_translateCC0toPluginSelect->text(),
        ui->c_createVirtualInput->text(),
        ui->l_midiOutDevice->text(),
        ui->l_midiInDevice->text(),
        ui->l_midiChannel->text(),
        ui->tabWidget->tabText(0),
        ui->tabWidget->tabText(1),
        ui->tabWidget->tabText(2),
    };
    QString letters;
    for (const QString &text : texts) {
        const int amp = text.indexOf(QLatin1Char('&'));
        if (amp >= 0)
            letters += text.at(amp + 1).toUpper();
    }
    QCOMPARE(letters, QStringLiteral("SC0VOIEDA"));
}

void TestForm::initialState()
{
    for (QCheckBox *box : {ui->c_sysex, ui->c_midiClockMessages, ui->c_translateCC0toPluginSelect,
                           ui->c_createVirtualInput}) {
        QVERIFY2(!box->isChecked(), qPrintable(box->objectName()));
        QVERIFY2(box->isEnabled(), qPrintable(box->objectName()));
    }
    QCOMPARE(ui->c_midiInDevice->count(), 0);
    QCOMPARE(ui->c_midiOutDevice->count(), 0);
    QCOMPARE(ui->c_midiChannel->value(), 1);
    QCOMPARE(ui->c_midiChannel->minimum(), 1);
    QCOMPARE(ui->c_midiChannel->maximum(), 16);
    QCOMPARE(ui->tabWidget->count(), 3);
    QCOMPARE(ui->tabWidget->currentIndex(), 0);
    QCOMPARE(ui->tabWidget->widget(0), ui->Events);
    QCOMPARE(ui->tabWidget->widget(1), ui->Device);
    QCOMPARE(ui->tabWidget->widget(2), ui->About);
}

void TestForm::tabOrder()
{
    const QStringList expected = {
        "tabWidget",       "c_sysex",        "c_midiClockMessages",  "c_translateCC0toPluginSelect",
        "c_midiOutDevice", "c_midiInDevice", "c_createVirtualInput", "c_midiChannel",
    };
    // The focus chain also holds inner widgets (the spin box's line edit,
    // the tab bar); only the order of the named controls counts.
    QStringList seen;
    QWidget *w = ui->tabWidget;
    do {
        if (expected.contains(w->objectName()) && !seen.contains(w->objectName()))
            seen << w->objectName();
        w = w->nextInFocusChain();
    } while (w != ui->tabWidget && seen.size() < expected.size());
    QCOMPARE(seen, expected);
}

void TestForm::channelTyped_data()
{
    addColumns<QString, int>("typed", "value");

    QTest::newRow("5") << "5" << 5;
    QTest::newRow("16") << "16" << 16;
    QTest::newRow("17 stops at 1") << "17" << 1;
    QTest::newRow("0 is refused") << "0" << 1;
    QTest::newRow("minus sign is refused") << "-3" << 3;
    QTest::newRow("letters are refused") << "abc" << 1;
    QTest::newRow("99 stops at 9") << "99" << 9;
}

void TestForm::channelTyped()
{
    QFETCH(QString, typed);
    QFETCH(int, value);

    ui->tabWidget->setCurrentWidget(ui->Device);
    QVERIFY(shown(*window));
    QSpinBox *spin = ui->c_midiChannel;
    spin->setFocus();
    spin->selectAll();
    QTest::keyClick(spin, Qt::Key_Backspace);
    QTest::keyClicks(spin, typed);
    QTest::keyClick(spin, Qt::Key_Return);
    spin->clearFocus();
    QCOMPARE(spin->value(), value);
    QVERIFY(spin->value() >= 1 && spin->value() <= 16);
}

void TestForm::channelStepped_data()
{
    addColumns<int, int, int, int>("start", "key", "presses", "value");

    QTest::newRow("down from 1") << 1 << int(Qt::Key_Down) << 3 << 1;
    QTest::newRow("up from 15") << 15 << int(Qt::Key_Up) << 4 << 16;
    QTest::newRow("page up from 1") << 1 << int(Qt::Key_PageUp) << 2 << 16;
    QTest::newRow("page down from 16") << 16 << int(Qt::Key_PageDown) << 1 << 6;
    QTest::newRow("up from 3") << 3 << int(Qt::Key_Up) << 2 << 5;
}

void TestForm::channelStepped()
{
    QFETCH(int, start);
    QFETCH(int, key);
    QFETCH(int, presses);
    QFETCH(int, value);

    QSpinBox *spin = ui->c_midiChannel;
    spin->setValue(start);
    for (int i = 0; i < presses; ++i)
        QTest::keyClick(spin, Qt::Key(key));
    QCOMPARE(spin->value(), value);
}

void TestForm::mnemonicReachesWidget_data()
{
    // The widget that ends up with the focus, the check box that changes
    // (if any), the page shown after.
    addColumns<int, int, QString, QString, int>("tab", "key", "focused", "toggled", "tabAfter");

    dataRow("Alt+S", 0, int(Qt::Key_S), "c_sysex", "c_sysex", 0);
    dataRow("Alt+C", 0, int(Qt::Key_C), "c_midiClockMessages", "c_midiClockMessages", 0);
    dataRow("Alt+0", 0, int(Qt::Key_0), "c_translateCC0toPluginSelect",
            "c_translateCC0toPluginSelect", 0);
    dataRow("Alt+O", 1, int(Qt::Key_O), "c_midiOutDevice", QString(), 1);
    dataRow("Alt+I", 1, int(Qt::Key_I), "c_midiInDevice", QString(), 1);
    dataRow("Alt+V", 1, int(Qt::Key_V), "c_createVirtualInput", "c_createVirtualInput", 1);
    dataRow("Alt+D", 0, int(Qt::Key_D), QString(), QString(), 1);
    dataRow("Alt+A", 1, int(Qt::Key_A), QString(), QString(), 2);
    dataRow("Alt+E", 2, int(Qt::Key_E), QString(), QString(), 0);
}

void TestForm::mnemonicReachesWidget()
{
    QFETCH(int, tab);
    QFETCH(int, key);
    QFETCH(QString, focused);
    QFETCH(QString, toggled);
    QFETCH(int, tabAfter);

    ui->tabWidget->setCurrentIndex(tab);
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    ui->tabWidget->setFocus();

    QTest::keyClick(window.get(), Qt::Key(key), Qt::AltModifier);
    QTRY_COMPARE(ui->tabWidget->currentIndex(), tabAfter);
    if (!focused.isEmpty())
        QTRY_COMPARE(QApplication::focusWidget() ? QApplication::focusWidget()->objectName()
                                                 : QString(),
                     focused);
    if (!toggled.isEmpty())
        QTRY_VERIFY(qobject_cast<QCheckBox *>(named(toggled))->isChecked());
    // Nothing else was toggled on the way.
    for (QCheckBox *box : window->findChildren<QCheckBox *>())
        if (box->objectName() != toggled)
            QVERIFY2(!box->isChecked(), qPrintable(box->objectName()));
}

void TestForm::sizeLimits_data()
{
    QTest::addColumn<QSize>("size");

    QTest::newRow("tiny") << QSize(40, 40);
    QTest::newRow("initial") << QSize(295, 194);
    QTest::newRow("wide") << QSize(1400, 300);
    QTest::newRow("tall") << QSize(300, 1000);
}

void TestForm::sizeLimits()
{
    QFETCH(QSize, size);

    ui->tabWidget->setCurrentWidget(ui->Device);
    QVERIFY(shown(*window));
    window->resize(size);
    QCoreApplication::processEvents();
    ui->gridLayout->activate();
    QVERIFY(ui->c_midiOutDevice->width() >= 200);
    QVERIFY(ui->c_midiInDevice->width() >= 200);
    QVERIFY(ui->c_midiChannel->width() <= 100);
    QCOMPARE(ui->c_midiOutDevice->minimumSize(), QSize(200, 0));
    QCOMPARE(ui->c_midiInDevice->minimumSize(), QSize(200, 0));
    QCOMPARE(ui->c_midiChannel->maximumSize(), QSize(100, 16777215));
}

void TestForm::aboutPage()
{
    QTextBrowser *about = ui->t_About;
    QCOMPARE(int(about->textInteractionFlags()), 15);
    QVERIFY(!about->openExternalLinks());
    QVERIFY(about->openLinks());

    const QTextDocument *doc = about->document();
    QCOMPARE(doc->blockCount(), 9);
    QStringList lines;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        lines << block.text();
        const QTextBlockFormat format = block.blockFormat();
        QCOMPARE(QList<qreal>({format.topMargin(), format.bottomMargin(), format.leftMargin(),
                               format.rightMargin(), format.textIndent()}),
                 QList<qreal>(5, 0.0));
        QCOMPARE(format.indent(), 0);
        // The body's family reaches every line of the page.
        QCOMPARE(block.charFormat().fontFamilies().toStringList(), QStringList{"Ubuntu"});
        // Plain text only: no line of the page is a link.
        for (auto it = block.begin(); !it.atEnd(); ++it)
            QVERIFY(!it.fragment().charFormat().isAnchor());
    }
    QCOMPARE(lines.at(0), QStringLiteral("Brantolex Fixer 1.0"));
    QVERIFY(lines.at(1).contains(QChar::LineSeparator));
    QVERIFY(lines.at(5).isEmpty());
    QVERIFY(lines.at(6).startsWith(QStringLiteral("Internet: ")));
    QVERIFY(lines.at(7).startsWith(QStringLiteral("E-Mail: ")));
    QVERIFY(lines.at(8).isEmpty());

    const QTextCharFormat title = doc->begin().begin().fragment().charFormat();
    QCOMPARE(title.fontPointSize(), 12.0);
    QCOMPARE(title.fontWeight(), 600);
    // Every other line, the two empty ones included, is 9 pt.
    for (QTextBlock block = doc->begin().next(); block.isValid(); block = block.next()) {
        const QString where = QStringLiteral("line %1").arg(block.blockNumber() + 1);
        if (block.text().isEmpty())
            QVERIFY2(block.charFormat().fontPointSize() == 9.0, qPrintable(where));
        for (auto it = block.begin(); !it.atEnd(); ++it)
            QVERIFY2(it.fragment().charFormat().fontPointSize() == 9.0, qPrintable(where));
    }
}

void TestForm::retranslateResetsLabel()
{
    ui->l_currentPlugin->setText(QStringLiteral("QUENDRA - 6"));
    ui->retranslateUi(window.get());
    QCOMPARE(ui->l_currentPlugin->text(), QStringLiteral("Plugin"));
}

namespace {
// Width, height, bit depth and colour type of a PNG; empty for anything else.
QList<qint64> pngHeader(const QByteArray &bytes)
{
    if (bytes.size() < 26 || !bytes.startsWith("\x89PNG\r\n\x1a\n") || bytes.mid(12, 4) != "IHDR")
        return {};
    return {qFromBigEndian<quint32>(bytes.constData() + 16),
            qFromBigEndian<quint32>(bytes.constData() + 20), quint8(bytes.at(24)),
            quint8(bytes.at(25))};
}
} // namespace

void TestForm::resources_data()
{
    // The colour type as in a PNG's header: 6 = RGBA, 3 = palette.
    addColumns<QString, int, int, int, int>("path", "width", "height", "bitDepth", "colourType");

    QTest::newRow("window icon") << ":/icons/midi-connector.png" << 60 << 60 << 8 << 6;
    QTest::newRow("socket picture") << ":/icons/din5-buchse.png" << 170 << 59 << 4 << 3;
}

void TestForm::resources()
{
    QFETCH(QString, path);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, bitDepth);
    QFETCH(int, colourType);

    QFile file(path);
    QVERIFY(file.exists());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(pngHeader(file.readAll()), (QList<qint64>{width, height, bitDepth, colourType}));
    const QImage image(path);
    QCOMPARE(image.size(), QSize(width, height));
}

void TestForm::loadingAnimation()
{
    QFile file(QStringLiteral(":/icons/loading.gif"));
    QVERIFY(file.exists());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.peek(6) == "GIF89a");
    QImageReader reader(&file);
    QVERIFY(reader.supportsAnimation());
    QCOMPARE(reader.size(), QSize(31, 31));
    QCOMPARE(reader.imageCount(), 8);
    QCOMPARE(reader.loopCount(), -1);
    for (int frame = 0; frame < 8; ++frame) {
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), QSize(31, 31));
        QCOMPARE(reader.nextImageDelay(), 100);
    }
    QVERIFY(!reader.canRead());
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
