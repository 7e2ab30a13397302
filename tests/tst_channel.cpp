// The instance channel between two starts of the program: frames as they
// go over the local socket, what the server refuses (oversized, idle, a
// flood), and what it does when its socket is taken away. In-process
// servers and raw clients; no MIDI system.
#include "app/localmessage.h"
#include "app/localthread.h"
#include "app/threadedlocalserver.h"
#include "testhelpers.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtEndian>
#include <QTest>
#include <QTimer>

#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

const QString programKey = QStringLiteral("BrantolexFixer");
// Frame of the program's cleaned key: the greeting and every acknowledgement.
const QByteArray keyFrame = QByteArray::fromHex("00000020"
                                                "0000001c"
                                                "004200720061006e0074006f006c00650078"
                                                "00460069007800650072");

QString uniqueName()
{
    static int counter = 0;
    return QStringLiteral("tst_channel_%1_%2")
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

// Both ends of one local connection, in this thread.
struct SocketPair
{
    QLocalServer server;
    QLocalSocket client;
    QLocalSocket *peer = nullptr;

    bool open()
    {
        if (!server.listen(uniqueName()))
            return false;
        client.connectToServer(server.serverName());
        if (!client.waitForConnected(5000) || !server.waitForNewConnection(5000))
            return false;
        peer = server.nextPendingConnection();
        return peer != nullptr;
    }
};

// A raw client of a ThreadedLocalServer. The server accepts on this thread's
// event loop, so every wait here spins it rather than blocking.
struct RawClient
{
    QLocalSocket socket;

    bool connectTo(const QLocalServer &server)
    {
        socket.connectToServer(server.fullServerName());
        return socket.waitForConnected(5000);
    }
    bool waitForBytes(qint64 count)
    {
        return QTest::qWaitFor([&] { return socket.bytesAvailable() >= count; }, 10000);
    }
    bool readGreeting()
    {
        if (!waitForBytes(keyFrame.size()))
            return false;
        return socket.read(keyFrame.size()) == keyFrame;
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
};

std::unique_ptr<ThreadedLocalServer> startServer(const QString &key = programKey)
{
    auto server = std::make_unique<ThreadedLocalServer>(key, nullptr);
    if (!server->listen(uniqueName()))
        return nullptr;
    return server;
}

// A server, a spy on its messages and one raw client it has greeted.
struct Session
{
    std::unique_ptr<ThreadedLocalServer> server = startServer();
    std::unique_ptr<QSignalSpy> received;
    RawClient client;

    bool open()
    {
        if (!server)
            return false;
        received =
            std::make_unique<QSignalSpy>(server.get(), &ThreadedLocalServer::messageReceived);
        return client.connectTo(*server) && client.readGreeting();
    }
};

int threadCount(const ThreadedLocalServer &server)
{
    return int(server.findChildren<LocalThread *>().size());
}

} // namespace

class TestChannel : public QObject
{
    Q_OBJECT

private slots:
    void writtenFrame_data();
    void writtenFrame();
    void readFrame_data();
    void readFrame();
    void writeRefused();
    void readWithoutConnection();
    void incompleteFrameIsKept();
    void malformedFrameIsRefusedByReader_data();
    void malformedFrameIsRefusedByReader();

    void greeting_data();
    void greeting();
    void silentClientIsServed();
    void burst_data();
    void burst();
    void frameResumedAfterPause();
    void disconnectEndsThread_data();
    void disconnectEndsThread();
    void refusedFrames_data();
    void refusedFrames();
    void serverDestroyedWithOpenConnections();
    void serverDestroyedWhileAcknowledgementsPileUp();
    void connectionCap();
    void listensAgainAfterFailedAccept();
};

void TestChannel::writtenFrame_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("hello") << QStringLiteral("hello")
                           << QByteArray::fromHex("0000000e0000000a00680065006c006c006f");
    QTest::newRow("empty") << QStringLiteral("") << QByteArray::fromHex("0000000400000000");
    QTest::newRow("null") << QString() << QByteArray::fromHex("00000004ffffffff");
    QTest::newRow("program key") << programKey << keyFrame;
    QTest::newRow("latin-1 letter")
        << QStringLiteral("\u00e9") << QByteArray::fromHex("000000060000000200e9");
    QTest::newRow("surrogate pair")
        << QStringLiteral("\U0001F3B9") << QByteArray::fromHex("0000000800000004d83cdfb9");
}

void TestChannel::writtenFrame()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    SocketPair pair;
    QVERIFY(pair.open());
    QVERIFY(writeMessage(&pair.client, text, 5000));
    while (pair.peer->bytesAvailable() < bytes.size())
        QVERIFY(pair.peer->waitForReadyRead(5000));
    QCOMPARE(pair.peer->readAll(), bytes);
}

void TestChannel::readFrame_data()
{
    writtenFrame_data();
}

void TestChannel::readFrame()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    SocketPair pair;
    QVERIFY(pair.open());
    pair.peer->write(bytes);
    QVERIFY(pair.peer->waitForBytesWritten(5000));

    bool ok = false;
    const QString read = readMessage(&pair.client, &ok);
    QVERIFY(ok);
    QCOMPARE(read, text);
    QCOMPARE(read.isNull(), text.isNull());
    QCOMPARE(pair.client.bytesAvailable(), qint64(0));
}

void TestChannel::writeRefused()
{
    QLocalSocket unconnected;
    QVERIFY(!writeMessage(nullptr, QStringLiteral("x"), 100));
    QVERIFY(!writeMessage(&unconnected, QStringLiteral("x"), 100));

    SocketPair pair;
    QVERIFY(pair.open());
    // One code unit more than the reader accepts.
    const QString tooLong((LocalMessage::maxFrameSize - 4) / 2 + 1, QLatin1Char('a'));
    QVERIFY(!writeMessage(&pair.client, tooLong, 100));
    QCOMPARE(pair.client.bytesToWrite(), qint64(0));
    const QString longest((LocalMessage::maxFrameSize - 4) / 2, QLatin1Char('a'));
    QVERIFY(writeMessage(&pair.client, longest, 5000));
}

void TestChannel::readWithoutConnection()
{
    QLocalSocket unconnected;
    bool ok = true;
    QVERIFY(readMessage(nullptr, &ok).isNull());
    QVERIFY(!ok);
    ok = true;
    QVERIFY(readMessage(&unconnected, &ok).isNull());
    QVERIFY(!ok);
}

void TestChannel::incompleteFrameIsKept()
{
    SocketPair pair;
    QVERIFY(pair.open());
    const QByteArray frame = frameOf(QStringLiteral("trickle"));
    pair.peer->write(frame.left(11));
    QVERIFY(pair.peer->waitForBytesWritten(5000));

    bool ok = true;
    readMessage(&pair.client, &ok);
    QVERIFY(!ok);
    QCOMPARE(pair.client.state(), QLocalSocket::ConnectedState);

    pair.peer->write(frame.mid(11));
    QVERIFY(pair.peer->waitForBytesWritten(5000));
    QCOMPARE(readMessage(&pair.client, &ok), QStringLiteral("trickle"));
    QVERIFY(ok);
}

void TestChannel::malformedFrameIsRefusedByReader_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("size over the cap") << QByteArray::fromHex("00100001001000000000");
    // Consistent in itself, so only the cap can turn it away before its body.
    QTest::newRow("consistent, over the cap") << QByteArray::fromHex("00100002000ffffe");
    QTest::newRow("negative size") << QByteArray::fromHex("ffffffff00000000");
    QTest::newRow("size below the length field") << QByteArray::fromHex("0000000200000000");
    QTest::newRow("odd length") << QByteArray::fromHex("0000000700000003006800");
    QTest::newRow("length short of size") << QByteArray::fromHex("000000080000000200680069");
    QTest::newRow("length beyond size") << QByteArray::fromHex("000000060000000400680069");
    QTest::newRow("null with a body") << QByteArray::fromHex("00000006ffffffff0068");
}

void TestChannel::malformedFrameIsRefusedByReader()
{
    QFETCH(QByteArray, bytes);

    SocketPair pair;
    QVERIFY(pair.open());
    pair.peer->write(bytes);
    QVERIFY(pair.peer->waitForBytesWritten(5000));

    bool ok = true;
    readMessage(&pair.client, &ok);
    QVERIFY(!ok);
    QCOMPARE(pair.client.state(), QLocalSocket::UnconnectedState);
}

void TestChannel::greeting_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("program key") << programKey << keyFrame;
    QTest::newRow("default key") << QStringLiteral("SADEFAULTKEY")
                                 << QByteArray::fromHex("0000001c00000018005300410044004500460041"
                                                        "0055004c0054004b00450059");
}

void TestChannel::greeting()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, bytes);

    auto server = startServer(key);
    QVERIFY(server);
    RawClient client;
    QVERIFY(client.connectTo(*server));
    QVERIFY(client.waitForBytes(bytes.size()));
    QCOMPARE(client.socket.readAll(), bytes);
}

void TestChannel::silentClientIsServed()
{
    Session s;
    QVERIFY(s.open());

    // Several of the reader's waits pass without a byte; the connection must
    // stay up regardless.
    QSignalSpy disconnected(&s.client.socket, &QLocalSocket::disconnected);
    QVERIFY(!disconnected.wait(4 * LocalMessage::readWait));
    QCOMPARE(threadCount(*s.server), 1);

    s.client.send(frameOf(QStringLiteral("late")));
    QVERIFY(s.received->wait(10000));
    QCOMPARE(s.received->takeFirst().at(0).toString(), QStringLiteral("late"));
    QVERIFY(s.client.readGreeting());
}

void TestChannel::burst_data()
{
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("chunk");

    const QStringList two{QStringLiteral("first"), QStringLiteral("second")};
    QStringList mixed{QStringLiteral("a"), QString(), QStringLiteral(""), QStringLiteral("zz")};
    QTest::newRow("two in one write") << two << 0;
    QTest::newRow("mixed in one write") << mixed << 0;
    QTest::newRow("two, three bytes at a time") << two << 3;
    QTest::newRow("mixed, five bytes at a time") << mixed << 5;
}

void TestChannel::burst()
{
    QFETCH(QStringList, messages);
    QFETCH(int, chunk);

    Session s;
    QVERIFY(s.open());

    QByteArray all;
    for (const QString &message : messages)
        all += frameOf(message);
    if (chunk == 0) {
        s.client.send(all);
    } else {
        for (qsizetype at = 0; at < all.size(); at += chunk)
            s.client.send(all.mid(at, chunk));
    }

    QTRY_COMPARE_WITH_TIMEOUT(s.received->size(), messages.size(), 10000);
    for (int i = 0; i < messages.size(); ++i) {
        const QString got = s.received->at(i).at(0).toString();
        QCOMPARE(got, messages.at(i));
        QCOMPARE(got.isNull(), messages.at(i).isNull());
    }
    QVERIFY(s.client.waitForBytes(keyFrame.size() * messages.size()));
    QCOMPARE(s.client.socket.readAll(), keyFrame.repeated(messages.size()));
}

void TestChannel::frameResumedAfterPause()
{
    Session s;
    QVERIFY(s.open());

    const QByteArray frame = frameOf(QStringLiteral("resumed"));
    s.client.send(frame.left(9));
    // Longer than the reader's wait, so it gives up on this frame for now.
    QVERIFY(!s.received->wait(3 * LocalMessage::readWait));
    QCOMPARE(s.client.socket.bytesAvailable(), qint64(0));

    s.client.send(frame.mid(9));
    QVERIFY(s.received->wait(10000));
    QCOMPARE(s.received->takeFirst().at(0).toString(), QStringLiteral("resumed"));
    QVERIFY(s.client.readGreeting());
}

void TestChannel::disconnectEndsThread_data()
{
    QTest::addColumn<bool>("waitForGreeting");
    QTest::addColumn<QByteArray>("sendBeforeLeaving");
    // Whole frames sent before leaving are signalled, answered or not.
    QTest::addColumn<QStringList>("signalled");

    const QStringList three{"one", "two", "three"};
    const QByteArray threeFrames = frameOf("one") + frameOf("two") + frameOf("three");
    QTest::newRow("at once") << false << QByteArray() << QStringList();
    QTest::newRow("after the greeting") << true << QByteArray() << QStringList();
    QTest::newRow("after a message")
        << true << frameOf(QStringLiteral("bye")) << QStringList{"bye"};
    QTest::newRow("after three messages") << true << threeFrames << three;
    QTest::newRow("three messages, greeting unread") << false << threeFrames << three;
    QTest::newRow("in the middle of a frame")
        << true << frameOf(QStringLiteral("cut")).left(10) << QStringList();
    QTest::newRow("after a size only") << true << QByteArray::fromHex("00000010") << QStringList();
}

void TestChannel::disconnectEndsThread()
{
    QFETCH(bool, waitForGreeting);
    QFETCH(QByteArray, sendBeforeLeaving);
    QFETCH(QStringList, signalled);

    auto server = startServer();
    QVERIFY(server);
    QSignalSpy received(server.get(), &ThreadedLocalServer::messageReceived);
    {
        RawClient client;
        QVERIFY(client.connectTo(*server));
        if (waitForGreeting) {
            QVERIFY(client.readGreeting());
            QCOMPARE(threadCount(*server), 1);
        }
        if (!sendBeforeLeaving.isEmpty()) {
            client.send(sendBeforeLeaving);
            QVERIFY(client.socket.waitForBytesWritten(5000) || client.socket.bytesToWrite() == 0);
        }
        client.socket.disconnectFromServer();
    }
    // The thread finishes and its object is deleted later, on this thread.
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(*server), 0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), signalled.size(), 10000);
    for (int i = 0; i < signalled.size(); ++i)
        QCOMPARE(received.at(i).at(0).toString(), signalled.at(i));
}

void TestChannel::refusedFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // Then a byte of this at a time, on and on.
    QTest::addColumn<QByteArray>("trickle");
    QTest::addColumn<QStringList>("accepted");

    const QByteArray good = frameOf(QStringLiteral("good"));
    QTest::newRow("size over the cap")
        << QByteArray::fromHex("7fffffff00000000") << QByteArray() << QStringList();
    QTest::newRow("just over the cap")
        << QByteArray::fromHex("0010000100100000") << QByteArray() << QStringList();
    QTest::newRow("consistent, over the cap")
        << QByteArray::fromHex("00100002000ffffe") << QByteArray() << QStringList();
    QTest::newRow("negative size")
        << QByteArray::fromHex("8000000000000000") << QByteArray() << QStringList();
    QTest::newRow("size too small")
        << QByteArray::fromHex("0000000300000000") << QByteArray() << QStringList();
    QTest::newRow("odd length") << QByteArray::fromHex("0000000700000003006800") << QByteArray()
                                << QStringList();
    QTest::newRow("length short of size")
        << QByteArray::fromHex("000000080000000200680069") << QByteArray() << QStringList();
    QTest::newRow("null with a body")
        << QByteArray::fromHex("00000006ffffffff0068") << QByteArray() << QStringList();
    QTest::newRow("good frame, then a bad one")
        << good + QByteArray::fromHex("0000000700000003006800") << QByteArray()
        << QStringList{"good"};
    // No whole frame for a while: the connection holds a thread for nothing.
    const QByteArray frame = frameOf(QStringLiteral("never whole"));
    QTest::newRow("silent after the greeting") << QByteArray() << QByteArray() << QStringList();
    QTest::newRow("a message, then silent") << frame << QByteArray() << QStringList{"never whole"};
    QTest::newRow("a frame begun, never finished")
        << frame.left(10) << QByteArray() << QStringList();
    // Bytes keep coming, a whole frame never does.
    QTest::newRow("a byte now and then") << QByteArray() << frame << QStringList();
}

void TestChannel::refusedFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, trickle);
    QFETCH(QStringList, accepted);

    Session s;
    QVERIFY(s.open());
    QSignalSpy disconnected(&s.client.socket, &QLocalSocket::disconnected);

    s.client.send(bytes);
    QTimer drip;
    qsizetype sent = 0;
    connect(&drip, &QTimer::timeout, this,
            [&] { s.client.send(trickle.mid(sent++ % trickle.size(), 1)); });
    if (!trickle.isEmpty())
        drip.start(LocalThread::idleTimeout / 10);
    QVERIFY(disconnected.wait(6 * LocalThread::idleTimeout));
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(*s.server), 0, 10000);

    QCOMPARE(s.received->size(), accepted.size());
    for (int i = 0; i < accepted.size(); ++i)
        QCOMPARE(s.received->at(i).at(0).toString(), accepted.at(i));
    QCOMPARE(s.client.socket.readAll(), keyFrame.repeated(accepted.size()));
}

void TestChannel::serverDestroyedWithOpenConnections()
{
    auto server = startServer();
    QVERIFY(server);
    RawClient idle, midFrame;
    QVERIFY(idle.connectTo(*server));
    QVERIFY(midFrame.connectTo(*server));
    QVERIFY(idle.readGreeting());
    QVERIFY(midFrame.readGreeting());
    QCOMPARE(threadCount(*server), 2);

    // Keeps one thread inside the reader, waiting for the rest of a frame.
    const QByteArray frame = frameOf(QStringLiteral("never finished"));
    for (int i = 1; i < 6; ++i)
        midFrame.send(frame.mid(i - 1, 1));

    QSignalSpy idleGone(&idle.socket, &QLocalSocket::disconnected);
    QSignalSpy midFrameGone(&midFrame.socket, &QLocalSocket::disconnected);
    server.reset();
    QVERIFY(idleGone.size() == 1 || idleGone.wait(10000));
    QVERIFY(midFrameGone.size() == 1 || midFrameGone.wait(10000));
}

void TestChannel::serverDestroyedWhileAcknowledgementsPileUp()
{
    Session s;
    QVERIFY(s.open());
    // The client reads nothing more, so the acknowledgements soon fill the
    // connection and each further one waits out its write timeout.
    s.client.socket.setReadBufferSize(1);
    s.client.send(frameOf(QString()).repeated(4000));
    QVERIFY(s.received->wait(10000));

    // Without a stop between frames this took half a second per frame left.
    s.server.reset();
    QSignalSpy gone(&s.client.socket, &QLocalSocket::disconnected);
    s.client.socket.setReadBufferSize(0);
    QVERIFY(gone.wait(10000));
}

void TestChannel::connectionCap()
{
    auto server = startServer();
    QVERIFY(server);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < ThreadedLocalServer::maxConnections; ++i) {
        clients.push_back(std::make_unique<RawClient>());
        QVERIFY(clients.back()->connectTo(*server));
        QVERIFY(clients.back()->readGreeting());
    }

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("connections open; closing new connections"));
    RawClient extra;
    QVERIFY(extra.connectTo(*server));
    QSignalSpy closed(&extra.socket, &QLocalSocket::disconnected);
    QVERIFY(closed.wait(10000));
    QCOMPARE(extra.socket.bytesAvailable(), qint64(0));

    // Room again once one has gone.
    clients.back()->socket.disconnectFromServer();
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(*server), ThreadedLocalServer::maxConnections - 1, 10000);
    RawClient later;
    QVERIFY(later.connectTo(*server));
    QVERIFY(later.readGreeting());
}

void TestChannel::listensAgainAfterFailedAccept()
{
    auto server = startServer();
    QVERIFY(server);
    const QString path = server->fullServerName();

    // Every descriptor in use but the one the client takes, so the server's
    // accept fails.
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;)
        filler.push_back(fd);
    ::close(filler.back());
    filler.pop_back();

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("stopped listening on"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("listening again on"));
    RawClient refused;
    refused.socket.connectToServer(path);
    const bool failed = QTest::qWaitFor([&] { return !server->isListening(); }, 10000);
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    QVERIFY(failed);

    QTRY_VERIFY_WITH_TIMEOUT(server->isListening(), 10000);
    RawClient client;
    QVERIFY(client.connectTo(*server));
    QVERIFY(client.readGreeting());
}

QTEST_GUILESS_MAIN(TestChannel)
#include "tst_channel.moc"
