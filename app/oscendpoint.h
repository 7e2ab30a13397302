#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

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
// nothing has to be stopped on the way out.
class OscEndpoint : public QObject
{
    Q_OBJECT

public:
    explicit OscEndpoint(QObject *parent = nullptr);
    ~OscEndpoint() override;

    bool isValid() const { return server != nullptr; }
    int port() const;
    // This endpoint on the loopback interface.
    QString url() const;

    // Sends from this endpoint's socket, so that the receiver knows where to
    // answer. Arguments: int as a 32-bit integer, anything else as a string.
    // False when the address is no OSC UDP address or the send failed.
    bool send(const QString &url, const QString &path, const QVariantList &args = {});

signals:
    void received(const OscMessage &message);

private:
    void readPending();

    void *server = nullptr;
    QSocketNotifier *notifier = nullptr;
    QList<OscMessage> incoming;
};
