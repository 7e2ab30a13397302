#pragma once

#include <QLocalServer>
#include <QString>
#include <QTimer>

#include <cstddef>
#include <functional>

// The local server of the instance that owns the marker; every connection is
// served by a LocalThread of its own.
class ThreadedLocalServer : public QLocalServer
{
    Q_OBJECT

public:
    ThreadedLocalServer(const QString &key, QObject *parent);
    // Closes the connections still open and joins their threads.
    ~ThreadedLocalServer() override;

    QString key() const { return serverKey; }

    // Hides QLocalServer's to remember the name: once listening, the server
    // listens again on it whenever Qt has closed it, until it is destroyed.
    bool listen(const QString &name);
    // Listens on name in the directory held open as directoryFd, through the
    // descriptor; whatever is at the name is cleared first (a socket, an
    // empty directory). path is the same place for people to read. False,
    // with the reason in *error, when that fails.
    bool listenIn(int directoryFd, const QString &name, const QString &path, QString *error);

    // Beyond this many open connections a new one is closed at once.
    static constexpr int maxConnections = 64;
    // Descriptors a connection's thread may need for its event loop's
    // wakeup (a pipe where there is no eventfd), besides its socket.
    static constexpr int descriptorsPerConnection = 2;
    // Kept free for the rest of the program: MIDI, saving the settings.
    static constexpr int descriptorReserve = 16;
    // How many more descriptors this process may open now.
    static int descriptorsLeft();
    // How often we check that the server still listens.
    static constexpr int watchInterval = 250;
    // sun_path, terminating zero included.
    static const std::size_t maxAddressSize;
    // SingleApplication::setAnswerer's; the GUI thread's only.
    static std::function<QString(const QString &)> answerer;

signals:
    void messageReceived(const QString &message);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    void keepListening();
    bool listenAgain();
    void refuse(quintptr socketDescriptor, const QString &why);

    const QString serverKey;
    QTimer watch;
    QString listeningOn;
    int listeningDirectory = -1;
    QString listeningName;
    bool lost = false;
    bool refusing = false;
    // Threads started whose start has not been seen here yet.
    int starting = 0;
};
