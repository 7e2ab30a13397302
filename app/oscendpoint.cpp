#include "app/oscendpoint.h"

#include <QPointer>
#include <QSocketNotifier>

#include <lo/lo.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Malformed packets from the network are dropped without a word: a line
// each would let anyone flood stderr.
void ignoreError(int, const char *, const char *) {}

int collect(const char *path, const char *types, lo_arg **argv, int argc, lo_message message,
            void *userData)
{
    OscMessage m;
    m.path = QString::fromUtf8(path);
    m.types = QString::fromLatin1(types);
    // liblo's arguments sit at OSC's 4-byte alignment, not at that of its
    // lo_arg union: they are read as bytes.
    for (int i = 0; i < argc; ++i) {
        const char *data = reinterpret_cast<const char *>(argv[i]);
        if (types[i] == LO_STRING || types[i] == LO_SYMBOL) {
            m.args << QString::fromUtf8(data);
        } else if (types[i] == LO_INT32) {
            std::int32_t value;
            std::memcpy(&value, data, sizeof value);
            m.args << int(value);
        } else {
            m.args << QVariant();
        }
    }
    if (lo_address source = lo_message_get_source(message)) {
        char *url = lo_address_get_url(source);
        m.source = QString::fromUtf8(url);
        std::free(url);
    }
    static_cast<QList<OscMessage> *>(userData)->append(m);
    return 0;
}

} // namespace

OscEndpoint::OscEndpoint(QObject *parent) : QObject(parent)
{
    lo_server s = lo_server_new_with_proto(nullptr, LO_UDP, ignoreError);
    if (!s)
        return;
    server = s;
    lo_server_add_method(s, nullptr, nullptr, collect, &incoming);
    notifier = new QSocketNotifier(lo_server_get_socket_fd(s), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &OscEndpoint::readPending);
}

OscEndpoint::~OscEndpoint()
{
    delete notifier;
    if (server)
        lo_server_free(server);
}

int OscEndpoint::port() const
{
    return server ? lo_server_get_port(server) : -1;
}

QString OscEndpoint::url() const
{
    return QStringLiteral("osc.udp://127.0.0.1:%1/").arg(port());
}

bool OscEndpoint::send(const QString &url, const QString &path, const QVariantList &args)
{
    if (!server)
        return false;
    lo_address address = lo_address_new_from_url(url.toUtf8().constData());
    if (!address)
        return false;
    lo_message message = lo_message_new();
    for (const QVariant &arg : args) {
        if (arg.typeId() == QMetaType::Int)
            lo_message_add_int32(message, arg.toInt());
        else
            lo_message_add_string(message, arg.toString().toUtf8().constData());
    }
    const bool sent =
        lo_address_get_protocol(address) == LO_UDP &&
        lo_send_message_from(address, server, path.toUtf8().constData(), message) >= 0;
    lo_message_free(message);
    lo_address_free(address);
    return sent;
}

void OscEndpoint::readPending()
{
    while (lo_server_recv_noblock(server, 0) > 0) {
    }
    // Handed on only now: a receiver may send, or even delete this endpoint.
    const QList<OscMessage> messages = std::exchange(incoming, {});
    const QPointer<OscEndpoint> alive(this);
    for (const OscMessage &message : messages) {
        if (!alive)
            return;
        emit received(message);
    }
}
