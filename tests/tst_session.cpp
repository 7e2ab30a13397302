// The program under a session manager: the test plays the manager over OSC
// on a UDP port of its own, and starts the built program with NSM_URL set
// (sandbox.h) or drives the window in this process.
#include "midipeers.h"
#include "sandbox.h"

#include "app/oscendpoint.h"
#include "app/sessionclient.h"
#include "settings/profile.h"
#include "ui/brantolexmainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QUrl>

#include <csignal>

#include <sys/stat.h>

namespace {

const QString announcePath = QStringLiteral("/nsm/server/announce");
const QString openPath = QStringLiteral("/nsm/client/open");
const QString savePath = QStringLiteral("/nsm/client/save");
const QString showPath = QStringLiteral("/nsm/client/show_optional_gui");
const QString hidePath = QStringLiteral("/nsm/client/hide_optional_gui");
const QString shownPath = QStringLiteral("/nsm/client/gui_is_shown");
const QString hiddenPath = QStringLiteral("/nsm/client/gui_is_hidden");
const QString dirtyPath = QStringLiteral("/nsm/client/is_dirty");
const QString cleanPath = QStringLiteral("/nsm/client/is_clean");
const QString reply = QStringLiteral("/reply");
const QString error = QStringLiteral("/error");

const QByteArray routingLine("brantolex.startup: routing");
const QByteArray withoutSession("running without a session");

// Plays the session manager: answers an announce as told and, when it
// welcomes the client, opens the given path at once; keeps all it hears.
class Manager : public QObject
{
public:
    enum Answer
    {
        Welcome,
        Refuse,
        Silent
    };

    // stranger: another socket of this machine, which sends an open, a save
    // and a show before the manager answers.
    explicit Manager(const QString &clientPath, Answer answer = Welcome,
                     OscEndpoint *stranger = nullptr)
    {
        connect(&endpoint, &OscEndpoint::received, this, [=](const OscMessage &message) {
            heard << message;
            if (message.path != announcePath)
                return;
            client = message.source;
            if (stranger) {
                stranger->send(client, openPath, {clientPath + "-stranger", "x", "x.nX"});
                stranger->send(client, savePath);
                stranger->send(client, showPath);
            }
            if (answer == Refuse)
                endpoint.send(client, error, {announcePath, -3, QStringLiteral("Not today")});
            if (answer != Welcome)
                return;
            endpoint.send(client, reply,
                          {announcePath, QStringLiteral("Welcome"), QStringLiteral("Test Manager"),
                           QStringLiteral(":server-control:broadcast:optional-gui:")});
            endpoint.send(client, openPath,
                          {clientPath, QStringLiteral("Brantolex Fixer"),
                           QStringLiteral("Brantolex Fixer.nTEST")});
        });
    }

    QString url() const { return endpoint.url(); }
    void send(const QString &path) { endpoint.send(client, path); }
    void open(const QString &clientPath)
    {
        endpoint.send(client, openPath,
                      {clientPath, QStringLiteral("Brantolex Fixer"), QStringLiteral("x.nTEST")});
    }

    // What the client sent to path; for /reply and /error only those about
    // the request `about`.
    QList<OscMessage> sent(const QString &path, const QString &about = {}) const
    {
        QList<OscMessage> found;
        for (const OscMessage &message : heard)
            if (message.path == path &&
                (about.isEmpty() || message.args.value(0).toString() == about))
                found << message;
        return found;
    }
    bool waitFor(const QString &path, const QString &about = {}, int count = 1,
                 int timeout = answerMs) const
    {
        return QTest::qWaitFor([&] { return sent(path, about).size() >= count; }, timeout);
    }
    // The window's visibility as told, in order.
    QStringList guiNews() const
    {
        QStringList news;
        for (const OscMessage &message : heard)
            if (message.path == shownPath || message.path == hiddenPath)
                news << message.path;
        return news;
    }

    OscEndpoint endpoint;
    QList<OscMessage> heard;
    QString client;
};

// The local address of the UDP socket on port, as the kernel lists it.
QByteArray boundAddress(int port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    const QByteArray suffix = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines =
        table.open(QIODevice::ReadOnly) ? table.readAll().split('\n') : QList<QByteArray>();
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 1 && fields.at(1).endsWith(suffix))
            return fields.at(1).left(fields.at(1).size() - suffix.size());
    }
    return {};
}

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void managerAndWindow_data();
    void managerAndWindow();
    void openAndSave_data();
    void openAndSave();
    void controlMakesDirty_data();
    void controlMakesDirty();

private:
    TemporaryHome home;
};

void TestSession::initTestCase()
{
    QVERIFY(home.use());
    QVERIFY_BACKEND_SELECTED();
}

void TestSession::managerAndWindow_data()
{
    QTest::addColumn<int>("answer");
    // The built program with these arguments, or a window in this process.
    QTest::addColumn<bool>("inProcess");
    QTest::addColumn<QStringList>("arguments");
    // Another socket sends an open, a save and a show first.
    QTest::addColumn<bool>("stranger");
    // "show", "hide" and "save" from the manager, "close" from the user,
    // "reopen": the program ends and the session opens it again.
    QTest::addColumn<QStringList>("actions");
    // What the program says of its window after its first word and each
    // action, empty without a session; the window is left as the last says.
    QTest::addColumn<QStringList>("guiNews");
    // Why the program runs without a session, as it says on stderr.
    QTest::addColumn<QString>("reason");

    const QString show("show"), hide("hide"), close("close"), save("save"), reopen("reopen");
    const QString &hidden = hiddenPath, &shown = shownPath;
    const auto row = [](const char *name, const QStringList &actions, const QStringList &news,
                        bool inProcess, Manager::Answer answer = Manager::Welcome,
                        const QStringList &arguments = {}, bool stranger = false,
                        const QString &reason = {}) {
        QTest::newRow(name) << int(answer) << inProcess << arguments << stranger << actions << news
                            << reason;
    };
    row("welcomed", {show, hide}, {hidden, shown, hidden}, false);
    row("welcomed, headless", {show, hide}, {hidden, hidden, hidden}, false, Manager::Welcome,
        {QStringLiteral("--headless")});
    row("welcomed, a stranger first", {show, hide}, {hidden, shown, hidden}, false,
        Manager::Welcome, {}, true, "ignored 3 OSC messages");
    row("refused", {}, {}, false, Manager::Refuse, {}, false, "Not today");
    row("no answer", {}, {}, false, Manager::Silent, {}, false, "within 5 s");
    row("shown", {show}, {hidden, shown}, true);
    row("shown, hidden", {show, hide}, {hidden, shown, hidden}, true);
    row("shown, closed, shown", {show, close, show}, {hidden, shown, hidden, shown}, true);
    row("shown, saved, reopened", {show, save, reopen}, {hidden, shown, shown}, true);
    row("shown, hidden, saved, reopened", {show, hide, save, reopen},
        {hidden, shown, hidden, hidden}, true);
}

// The announce, and what becomes of the start when the manager welcomes,
// refuses or ignores it. Under a session the window starts hidden and the
// manager shows and hides it; closing it only hides it, and the program goes
// on.
void TestSession::managerAndWindow()
{
    QFETCH(int, answer);
    QFETCH(bool, inProcess);
    QFETCH(QStringList, arguments);
    QFETCH(bool, stranger);
    QFETCH(QStringList, actions);
    QFETCH(QStringList, guiNews);
    QFETCH(QString, reason);
    const bool underSession = answer == Manager::Welcome;

    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.prepared());
    QTemporaryDir session;
    QVERIFY(sandbox.give(session));
    const QString clientPath = session.filePath(QStringLiteral("Brantolex Fixer.nTEST"));
    OscEndpoint strangerEndpoint;
    int strangerHeard = 0;
    QObject::connect(&strangerEndpoint, &OscEndpoint::received, [&] { ++strangerHeard; });
    Manager manager(clientPath, Manager::Answer(answer), stranger ? &strangerEndpoint : nullptr);
    QProcessEnvironment env = sandbox.env;
    env.insert(QStringLiteral("NSM_URL"), manager.url());
    const auto homeBefore = sandbox.homeSnapshot();

    std::unique_ptr<Program> program;
    std::unique_ptr<SessionClient> client;
    std::unique_ptr<BrantolexMainWindow> window;
    const auto startInProcess = [&] {
        window.reset();
        client = std::make_unique<SessionClient>(manager.url(), QStringLiteral("brantolex-fixer"));
        const bool joined = client->join();
        window = std::make_unique<BrantolexMainWindow>();
        client->manage(window.get(), false);
        return joined;
    };
    if (inProcess)
        QVERIFY(startInProcess());
    else
        program = std::make_unique<Program>(env, sandbox.uid, arguments);
    QVERIFY(manager.waitFor(announcePath, {}, 1, startMs));
    const OscMessage announce = manager.sent(announcePath).first();
    QCOMPARE(announce.types, QStringLiteral("sssiii"));
    const QVariantList fields = {
        QStringLiteral("Brantolex Fixer"),
        QStringLiteral(":optional-gui:dirty:"),
        inProcess ? QStringLiteral("brantolex-fixer") : program->process.program(),
        1,
        1,
        int(inProcess ? QCoreApplication::applicationPid() : program->process.processId())};
    QCOMPARE(announce.args, fields);
    if (underSession) {
        // Reachable from this machine only; checked first, as a port open
        // to every interface would make the rest wait for nothing.
        QCOMPARE(boundAddress(QUrl(announce.source).port()), QByteArray("0100007F"));
        QVERIFY(manager.waitFor(reply, openPath, 1, startMs));
        QVERIFY(manager.waitFor(hiddenPath));
        if (inProcess)
            QVERIFY(!window->isVisible());
    }

    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    for (const QString &action : std::as_const(actions)) {
        const qsizetype news = manager.guiNews().size();
        if (action == QLatin1String("save")) {
            manager.send(savePath);
            QVERIFY(manager.waitFor(reply, savePath));
            continue;
        }
        if (action == QLatin1String("close"))
            window->close();
        else if (action == QLatin1String("reopen"))
            QVERIFY(startInProcess());
        else
            manager.send(action == QLatin1String("show") ? showPath : hidePath);
        QVERIFY(QTest::qWaitFor([&] { return manager.guiNews().size() > news; }, answerMs));
    }
    QCOMPARE(manager.guiNews(), guiNews);
    if (inProcess) {
        QCOMPARE(window->isVisible(), guiNews.last() == shownPath);
        QCOMPARE(lastClosed.count(), 0);
        return;
    }

    if (underSession) {
        QVERIFY(program->stderrSoFar().contains(routingLine));
        // The stranger got nothing, and nothing of it reached the manager.
        QCOMPARE(strangerHeard, 0);
        QVERIFY(manager.sent(cleanPath).isEmpty() && manager.sent(error).isEmpty());
    } else {
        // As without a session: the window shows and the user's file holds
        // the settings.
        QVERIFY2(program->waitForShown(), program->stderrSoFar().constData());
    }
    program->signal(SIGTERM);
    QVERIFY(program->endedNormally());
    QCOMPARE(program->stderrSoFar().count(withoutSession), underSession ? 0 : 1);
    QVERIFY2(program->stderrSoFar().contains(reason.toUtf8()), program->stderrSoFar().constData());
    QCOMPARE(sandbox.homeSnapshot() == homeBefore, underSession);
    // Only a save writes the session's file.
    QVERIFY(!QFile::exists(clientPath + QStringLiteral(".ini")));
    QVERIFY(!QFile::exists(clientPath + QStringLiteral("-stranger.ini")));
}

void TestSession::openAndSave_data()
{
    QTest::addColumn<QByteArray>("existing");
    // What keeps the settings from the path the open gives; the open is
    // then refused at once.
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("sessionPortOpened");
    QTest::addColumn<QByteArrayList>("savedLines");

    QTest::newRow("new path") << QByteArray() << QString() << false
                              << QByteArrayList{"[MIDI]\n",
                                                "\nsysex=No\n",
                                                "\nmidiChannel=1\n",
                                                "\ncreateVirtualInput=Yes\n",
                                                "[Plugin]\n",
                                                "\nloadingTime1=2000\n",
                                                "\nloadingTime8=1500\n"};
    QTest::newRow("existing file")
        << QByteArray("; the song's unit\n[MIDI]\nmidiOutDevice=Session Sink:in\nmidiChannel=5\n"
                      "\n[Plugin]\nloadingTime1=123\n")
        << QString() << true
        << QByteArrayList{
               "; the song's unit\n[MIDI]\nmidiOutDevice=Session Sink:in\nmidiChannel=5\n",
               "\nloadingTime1=123\n", "\nloadingTime2=1500\n", "\nsysex=No\n"};
    // One instance per user, in a session too: the manager learns why not.
    for (const char *obstacle :
         {"a directory in the way", "a FIFO in the way", "an empty path", "a relative path",
          "a file where its directory goes", "an unreadable file", "another instance runs"})
        QTest::newRow(obstacle) << QByteArray() << QString::fromLatin1(obstacle) << false
                                << QByteArrayList();
}

// The session's file instead of the user's: read (or the defaults) at the
// open, written at a save only, whole, and never by the quit.
void TestSession::openAndSave()
{
    QFETCH(QByteArray, existing);
    QFETCH(QString, obstacle);
    QFETCH(bool, sessionPortOpened);
    QFETCH(QByteArrayList, savedLines);

    // The sinks must exist before the program lists its ports.
    PeerSink userSink("User Sink");
    PeerSink sessionSink("Session Sink");
    Sandbox sandbox(midiUid());
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(100, userSink.portName())));
    QTemporaryDir session;
    QVERIFY(session.isValid());
    QString clientPath = session.filePath(QStringLiteral("Brantolex Fixer.nTEST"));
    const QString file = clientPath + QStringLiteral(".ini");
    if (!existing.isEmpty())
        QVERIFY(write(file, existing));
    if (obstacle.contains("directory in"))
        QVERIFY(QDir().mkpath(file));
    if (obstacle.contains("FIFO"))
        QVERIFY(::mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
    if (obstacle.contains("unreadable"))
        QVERIFY(write(file, "[MIDI]\n") && QFile::setPermissions(file, {}));
    if (obstacle.contains("file where")) {
        QVERIFY(write(session.filePath("file"), "x"));
        clientPath = session.filePath("file/Brantolex Fixer.nTEST");
    }
    if (obstacle.contains("empty") || obstacle.contains("relative"))
        clientPath = obstacle.contains("empty") ? "" : "relative/Brantolex Fixer.nTEST";
    // The session's directory is the program's user's.
    chownTree(session.path(), sandbox.uid);
    Manager manager(clientPath);
    QProcessEnvironment env = sandbox.env;
    env.insert(QStringLiteral("NSM_URL"), manager.url());
    std::unique_ptr<Program> first;
    if (obstacle.contains("another")) {
        first = std::make_unique<Program>(sandbox);
        QVERIFY2(first->waitForShown(), first->stderrSoFar().constData());
    }
    const auto homeBefore = sandbox.homeSnapshot();

    Program program(env, sandbox.uid);
    if (!obstacle.isEmpty()) {
        // Said at once, with the reason; a start refused for another
        // instance ends by itself, any other waits for a quit signal (sent
        // to one that is ending, it would race its exit).
        QVERIFY(manager.waitFor(announcePath, {}, 1, startMs));
        QVERIFY2(manager.waitFor(error, openPath, 1, 3000), program.stderrSoFar().constData());
        const OscMessage refusal = manager.sent(error, openPath).first();
        QCOMPARE(refusal.types, QStringLiteral("sis"));
        QVERIFY(refusal.args.at(1).toInt() < 0);
        const QString why = refusal.args.at(2).toString();
        QVERIFY2(!why.isEmpty() && (!first || why.contains("already runs for this user")),
                 qPrintable(why));
        // It waits for another open, and answers that one only.
        const QString other = session.filePath(QStringLiteral("Other.nTEST"));
        if (!first) {
            manager.open(other);
            QVERIFY2(manager.waitFor(reply, openPath, 1, startMs),
                     program.stderrSoFar().constData());
            program.signal(SIGTERM);
        }
        QVERIFY2(program.endedNormally(), program.stderrSoFar().constData());
        QCOMPARE(manager.sent(reply, openPath).size(), first ? 0 : 1);
        if (!first)
            QVERIFY(manager.sent(reply, openPath).first().args.value(1).toString().contains(other));
        QCOMPARE(QFileInfo(file).isFile(), obstacle.contains("unreadable"));
        QCOMPARE(sandbox.homeSnapshot(), homeBefore);
        if (first) {
            QCOMPARE(first->process.state(), QProcess::Running);
            first->signal(SIGTERM);
            QVERIFY(first->endedNormally());
        }
        return;
    }
    QVERIFY2(manager.waitFor(reply, openPath, 1, startMs), program.stderrSoFar().constData());
    // The ports are open by the time the open is answered.
    QCOMPARE(!peerConnections(sessionSink.portName()).isEmpty(), sessionPortOpened);
    QCOMPARE(peerConnections(userSink.portName()), QStringList());
    QCOMPARE(contentOf(file), existing);

    manager.send(savePath);
    QVERIFY(manager.waitFor(reply, savePath));
    QVERIFY(manager.waitFor(cleanPath));
    const QByteArray saved = contentOf(file);
    for (const QByteArray &line : savedLines)
        QVERIFY2(saved.contains(line), saved.constData());

    program.signal(SIGTERM);
    QVERIFY(program.endedNormally());
    QCOMPARE(contentOf(file), saved);
    QCOMPARE(sandbox.homeSnapshot(), homeBefore);
}

void TestSession::controlMakesDirty_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QByteArray>("savedLine");
    // Without a session the change is saved by itself, and what the user
    // edited by hand meanwhile stays.
    QTest::addColumn<bool>("session");

    QTest::newRow("system exclusive, no session")
        << "c_sysex" << QByteArray("\nsysex=Yes\n") << false;
    QTest::newRow("system exclusive") << "c_sysex" << QByteArray("\nsysex=Yes\n") << true;
    QTest::newRow("clock") << "c_midiClockMessages" << QByteArray("\nmidiClockMessages=Yes\n")
                           << true;
    QTest::newRow("translation") << "c_translateCC0toPluginSelect"
                                 << QByteArray("\ntranslateCC0toPluginSelect=No\n") << true;
    QTest::newRow("channel") << "c_midiChannel" << QByteArray("\nmidiChannel=2\n") << true;
    // The line is that of the last port listed.
    QTest::newRow("output port") << "c_midiOutDevice" << QByteArray() << true;
}

// A control changed makes the session dirty; a save makes it clean, with
// the change in the file, and the next change dirty again.
void TestSession::controlMakesDirty()
{
    QFETCH(QString, control);
    QFETCH(QByteArray, savedLine);
    QFETCH(bool, session);

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString clientPath = directory.filePath(QStringLiteral("client"));
    const QString file = clientPath + QStringLiteral(".ini");
    const QByteArray handEdit("[MIDI]\nmidiChannel=7\n; by hand\n");
    Manager manager(clientPath);
    SessionClient client(session ? manager.url() : QString(), QStringLiteral("brantolex-fixer"));
    QVERIFY(client.join());
    QCOMPARE(client.isActive(), session);
    if (!session) {
        QVERIFY(write(file, "[MIDI]\nmidiChannel=5\n"));
        Profile::setFilePath(file);
    }
    BrantolexMainWindow window;
    client.manage(&window, false);
    if (!session)
        QVERIFY(write(file, handEdit));
    else
        QVERIFY(manager.waitFor(reply, openPath));

    auto *widget = window.findChild<QWidget *>(control);
    QVERIFY(widget);
    const auto change = [&]() -> QByteArray {
        if (auto *box = qobject_cast<QCheckBox *>(widget)) {
            box->click();
        } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
            spin->stepUp();
        } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            combo->setCurrentIndex(combo->count() - 1);
            emit combo->activated(combo->currentIndex());
            return "\nmidiOutDevice=" + combo->currentData().toString().toUtf8() + "\n";
        }
        return savedLine;
    };
    const QByteArray line = change();
    if (!session) {
        QTRY_VERIFY_WITH_TIMEOUT(contentOf(file).contains(line), 5000);
        const QByteArray saved = contentOf(file);
        QVERIFY2(saved.contains("\nmidiChannel=7\n") && saved.contains("\n; by hand\n"),
                 saved.constData());
        return;
    }
    QVERIFY(manager.waitFor(dirtyPath));
    QVERIFY(manager.sent(cleanPath).isEmpty());
    // Past the delay of saving by itself, which a session never does.
    QTest::qWait(2 * BrantolexMainWindow::autosaveDelay);
    QVERIFY(!QFile::exists(file));
    manager.send(savePath);
    QVERIFY(manager.waitFor(reply, savePath));
    QVERIFY(manager.waitFor(cleanPath));
    const QByteArray saved = contentOf(clientPath + QStringLiteral(".ini"));
    QVERIFY2(saved.contains(line), saved.constData());

    change();
    QVERIFY(manager.waitFor(dirtyPath, {}, 2));
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
