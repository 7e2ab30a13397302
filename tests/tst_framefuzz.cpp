// Seeded random byte streams at the frame reader: whole frames, sizes over
// the cap, noise, frames cut short, peers that leave. The reader must never
// crash or hang, and must give back exactly the frames that were sent whole
// and well-formed before anything it cannot frame.
#include "app/localmessage.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QtEndian>
#include <QTest>

#ifdef __SANITIZE_ADDRESS__
// A reader that believed a hostile size would ask for far more than this.
extern "C" const char *__asan_default_options()
{
    return "max_allocation_size_mb=8:allocator_may_return_null=0";
}
#endif

namespace {

QByteArray frame(qint32 size, quint32 length, const QByteArray &body)
{
    QByteArray bytes(8, '\0');
    qToBigEndian<qint32>(size, bytes.data());
    qToBigEndian<quint32>(length, bytes.data() + 4);
    return bytes + body;
}

struct Stream
{
    QByteArray bytes;
    QStringList whole; // what the reader must return, in order
    bool exact = true; // false once noise makes the rest unpredictable
    bool refused = false;
};

Stream randomStream(QRandomGenerator &random)
{
    Stream s;
    const int pieces = random.bounded(1, 8);
    for (int i = 0; i < pieces && s.exact && !s.refused; ++i) {
        switch (random.bounded(6)) {
        case 0:
        case 1:
        case 2: {
            QString text;
            if (random.bounded(8) > 0) {
                text = QStringLiteral("");
                for (int n = random.bounded(40); n > 0; --n)
                    text.append(QChar(char16_t(random.bounded(1, 0xFFFF))));
            }
            QByteArray body;
            for (QChar c : std::as_const(text))
                body.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xff));
            const quint32 length = text.isNull() ? 0xFFFFFFFF : quint32(body.size());
            s.bytes += frame(4 + qint32(body.size()), length, body);
            s.whole.append(text);
            break;
        }
        case 3: {
            // Over the cap, consistent or not: turned away before any body.
            const qint32 size = LocalMessage::maxFrameSize + 1 +
                                qint32(random.bounded(0x7FFFFFFF - LocalMessage::maxFrameSize));
            s.bytes += frame(size, random.bounded(2) ? quint32(size - 4) : random.generate(), {});
            s.refused = true;
            break;
        }
        case 4:
            for (int n = random.bounded(1, 24); n > 0; --n)
                s.bytes.append(char(random.bounded(256)));
            s.exact = false;
            break;
        default:
            // The start of a frame that never ends.
            s.bytes +=
                frame(4 + 2 * qint32(random.bounded(1, 100)), 0, {}).left(random.bounded(1, 8));
            s.exact = false;
            break;
        }
    }
    return s;
}

} // namespace

class TestFrameFuzz : public QObject
{
    Q_OBJECT

private slots:
    void randomStreams();
};

void TestFrameFuzz::randomStreams()
{
    QRandomGenerator random(20260208);
    QLocalServer server;
    QVERIFY(
        server.listen(QStringLiteral("tst_framefuzz_%1").arg(QCoreApplication::applicationPid())));

    for (int round = 0; round < 200; ++round) {
        const Stream s = randomStream(random);
        const QByteArray where = "round " + QByteArray::number(round);

        QLocalSocket reader;
        reader.connectToServer(server.fullServerName());
        QVERIFY(reader.waitForConnected(5000) && server.waitForNewConnection(5000));
        QLocalSocket *peer = server.nextPendingConnection();
        QVERIFY(peer);
        peer->write(s.bytes);
        QVERIFY(peer->waitForBytesWritten(5000));
        // Mostly gone at once, so that what is cut short costs no waits.
        const bool leaves = random.bounded(16) > 0;
        if (leaves)
            peer->disconnectFromServer();

        QStringList got;
        for (int i = 0; i <= s.whole.size() + 1; ++i) {
            bool ok = false;
            const QString text = readMessage(&reader, &ok);
            if (!ok)
                break;
            QVERIFY2(text.size() * 2 <= LocalMessage::maxFrameSize - 4, where.constData());
            got.append(text);
        }
        if (s.exact) {
            QVERIFY2(got == s.whole, where.constData());
            for (int i = 0; i < got.size(); ++i)
                QVERIFY2(got.at(i).isNull() == s.whole.at(i).isNull(), where.constData());
        } else {
            QVERIFY2(got.mid(0, s.whole.size()) == s.whole, where.constData());
        }
        if (s.refused)
            QVERIFY2(reader.state() == QLocalSocket::UnconnectedState, where.constData());
        delete peer;
    }
}

QTEST_GUILESS_MAIN(TestFrameFuzz)
#include "tst_framefuzz.moc"
