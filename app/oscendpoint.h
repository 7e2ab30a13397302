#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

#include <sys/socket.h>

class QSocketNotifier;

// One OSC message as it came in.
struct OscMessage
{
    QString path;
    // One letter an argument, as OSC types them.
    QString types;
    // Strings as QString, 32-bit integers as int, anything else invalid.
    QVariantList args;
    // The sender's address, to answer to.
    QString source;
};

// An OSC socket on a free UDP port, read on the thread that owns it when the
// event loop sees data: no thread of liblo's, so nothing is handed over and
// nothing has to be stopped on the way out. liblo only packs and unpacks the
// messages; the socket is ours, so that it listens where we say.
class OscEndpoint : public QObject
{
    Q_OBJECT

public:
    // On the loopback interface.
    explicit OscEndpoint(QObject *parent = nullptr);
    // Where the peer at peerUrl reaches it: the loopback interface when the
    // peer is on this machine, otherwise the interface that leads to it.
    explicit OscEndpoint(const QString &peerUrl, QObject *parent = nullptr);
    ~OscEndpoint() override;

    bool isValid() const { return fd >= 0; }
    int port() const;
    // This endpoint's address.
    QString url() const;

    // Sends from this endpoint's socket, so that the receiver knows where to
    // answer. Arguments: int as a 32-bit integer, anything else as a string.
    // False when the address is no OSC UDP address or the send failed.
    bool send(const QString &url, const QString &path, const QVariantList &args = {});

    // From now on only what the socket at url sends is handed on; the rest
    // is dropped unread and only counted.
    void acceptOnlyFrom(const QString &url);
    quint64 droppedCount() const { return dropped; }

signals:
    void received(const OscMessage &message);

private:
    void open(const sockaddr_storage &local, socklen_t size);
    void readPending();
    bool accepted(const sockaddr_storage &from) const;

    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QList<sockaddr_storage> senders;
    QHash<QString, QList<sockaddr_storage>> resolved;
    bool senderLocal = false;
    bool filtering = false;
    quint64 dropped = 0;
};
