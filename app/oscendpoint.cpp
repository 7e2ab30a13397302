#include "app/oscendpoint.h"

#include <QPointer>
#include <QSocketNotifier>

#include <lo/lo.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

socklen_t sizeOf(const sockaddr_storage &address)
{
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

int portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
}

bool isLoopback(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET6)
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr);
    return address.ss_family == AF_INET &&
           (ntohl(reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr) >> 24) == 127;
}

bool sameHost(const sockaddr_storage &a, const sockaddr_storage &b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr,
                           &reinterpret_cast<const sockaddr_in6 &>(b).sin6_addr,
                           sizeof(in6_addr)) == 0;
    return reinterpret_cast<const sockaddr_in &>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in &>(b).sin_addr.s_addr;
}

sockaddr_storage loopback(int family)
{
    sockaddr_storage address = {};
    address.ss_family = sa_family_t(family);
    if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(address).sin6_addr = in6addr_loopback;
    else
        reinterpret_cast<sockaddr_in &>(address).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// The addresses of an OSC UDP URL's host and port; none for anything else.
// Looked up as IPv4 first, as liblo and so the manager's other clients do:
// a name the resolver has only as ::1 then gives 127.0.0.1, where a
// manager listening on IPv4 only is. IPv6 comes only after.
QList<sockaddr_storage> resolve(const QString &url)
{
    QList<sockaddr_storage> found;
    const QByteArray text = url.toUtf8();
    if (lo_url_get_protocol_id(text.constData()) != LO_UDP)
        return found;
    char *host = lo_url_get_hostname(text.constData());
    char *port = lo_url_get_port(text.constData());
    for (const int family : {AF_INET, AF_INET6}) {
        addrinfo hints = {};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo *list = nullptr;
        if (!host || !port || !*host || ::getaddrinfo(host, port, &hints, &list) != 0)
            continue;
        for (const addrinfo *a = list; a; a = a->ai_next) {
            if (a->ai_family != family || a->ai_addrlen > sizeof(sockaddr_storage))
                continue;
            sockaddr_storage address = {};
            std::memcpy(&address, a->ai_addr, a->ai_addrlen);
            found.append(address);
        }
        ::freeaddrinfo(list);
    }
    std::free(host);
    std::free(port);
    return found;
}

QString urlOf(const sockaddr_storage &address)
{
    char host[INET6_ADDRSTRLEN] = {};
    const void *raw =
        address.ss_family == AF_INET6
            ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr)
            : &reinterpret_cast<const sockaddr_in &>(address).sin_addr;
    ::inet_ntop(address.ss_family, raw, host, sizeof host);
    const QString name = QString::fromLatin1(host);
    return QStringLiteral("osc.udp://%1:%2/")
        .arg(address.ss_family == AF_INET6 ? QLatin1Char('[') + name + QLatin1Char(']') : name)
        .arg(portOf(address));
}

OscMessage unpacked(QByteArray &packet)
{
    OscMessage m;
    const char *path = lo_get_path(packet.data(), packet.size());
    // Bundles are no part of what a session manager sends.
    if (!path || *path != '/')
        return m;
    lo_message message = lo_message_deserialise(packet.data(), std::size_t(packet.size()), nullptr);
    if (!message)
        return m;
    m.path = QString::fromUtf8(path);
    const char *types = lo_message_get_types(message);
    m.types = QString::fromLatin1(types);
    lo_arg **argv = lo_message_get_argv(message);
    // liblo's arguments sit at OSC's 4-byte alignment, not at that of its
    // lo_arg union: they are read as bytes.
    for (int i = 0; i < lo_message_get_argc(message); ++i) {
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
    lo_message_free(message);
    return m;
}

} // namespace

OscEndpoint::OscEndpoint(QObject *parent) : QObject(parent)
{
    const sockaddr_storage local = loopback(AF_INET);
    open(local, sizeOf(local));
}

OscEndpoint::OscEndpoint(const QString &peerUrl, QObject *parent) : QObject(parent)
{
    const QList<sockaddr_storage> peers = resolve(peerUrl);
    sockaddr_storage local = loopback(peers.isEmpty() ? AF_INET : peers.first().ss_family);
    // The kernel's choice of a source address for the peer tells whether it
    // is this machine, and which of its interfaces leads there.
    if (!peers.isEmpty() && !isLoopback(peers.first())) {
        sockaddr_storage source = {};
        socklen_t size = sizeof source;
        const int probe = ::socket(peers.first().ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe >= 0 &&
            ::connect(probe, reinterpret_cast<const sockaddr *>(&peers.first()),
                      sizeOf(peers.first())) == 0 &&
            ::getsockname(probe, reinterpret_cast<sockaddr *>(&source), &size) == 0 &&
            !sameHost(source, peers.first()) && !isLoopback(source)) {
            local = source;
            if (local.ss_family == AF_INET6)
                reinterpret_cast<sockaddr_in6 &>(local).sin6_port = 0;
            else
                reinterpret_cast<sockaddr_in &>(local).sin_port = 0;
        }
        if (probe >= 0)
            ::close(probe);
    }
    open(local, sizeOf(local));
}

void OscEndpoint::open(const sockaddr_storage &local, socklen_t size)
{
    const int s = ::socket(local.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    if (::bind(s, reinterpret_cast<const sockaddr *>(&local), size) != 0) {
        ::close(s);
        return;
    }
    fd = s;
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &OscEndpoint::readPending);
}

OscEndpoint::~OscEndpoint()
{
    delete notifier;
    if (fd >= 0)
        ::close(fd);
}

int OscEndpoint::port() const
{
    sockaddr_storage local = {};
    socklen_t size = sizeof local;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) != 0)
        return -1;
    return portOf(local);
}

QString OscEndpoint::url() const
{
    sockaddr_storage local = {};
    socklen_t size = sizeof local;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) != 0)
        return QString();
    return urlOf(local);
}

bool OscEndpoint::send(const QString &url, const QString &path, const QVariantList &args)
{
    if (fd < 0)
        return false;
    sockaddr_storage local = {};
    socklen_t localSize = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localSize);
    // Looked up once: a name in NSM_URL may take the resolver a while.
    auto cached = resolved.find(url);
    if (cached == resolved.end())
        cached = resolved.insert(url, resolve(url));
    const QList<sockaddr_storage> &targets = *cached;
    const sockaddr_storage *target = nullptr;
    for (const sockaddr_storage &candidate : targets)
        if (candidate.ss_family == local.ss_family) {
            target = &candidate;
            break;
        }
    if (!target)
        return false;
    lo_message message = lo_message_new();
    for (const QVariant &arg : args) {
        if (arg.typeId() == QMetaType::Int)
            lo_message_add_int32(message, arg.toInt());
        else
            lo_message_add_string(message, arg.toString().toUtf8().constData());
    }
    std::size_t size = 0;
    void *packet = lo_message_serialise(message, path.toUtf8().constData(), nullptr, &size);
    const bool sent =
        packet && ::sendto(fd, packet, size, 0, reinterpret_cast<const sockaddr *>(target),
                           sizeOf(*target)) == ssize_t(size);
    std::free(packet);
    lo_message_free(message);
    return sent;
}

void OscEndpoint::acceptOnlyFrom(const QString &url)
{
    filtering = true;
    senders = resolve(url);
    // Bound to the loopback, only this machine reaches us: the sender may
    // come from any of its loopback addresses.
    sockaddr_storage local = {};
    socklen_t size = sizeof local;
    senderLocal = fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) == 0 &&
                  isLoopback(local);
}

bool OscEndpoint::accepted(const sockaddr_storage &from) const
{
    if (!filtering)
        return true;
    for (const sockaddr_storage &sender : senders)
        if (portOf(from) == portOf(sender) &&
            (sameHost(from, sender) || (senderLocal && isLoopback(from))))
            return true;
    return false;
}

void OscEndpoint::readPending()
{
    QList<OscMessage> messages;
    QByteArray packet(65536, Qt::Uninitialized);
    // A bounded batch: a flood cannot keep the event loop here.
    for (int batch = 0; batch < 256; ++batch) {
        sockaddr_storage from = {};
        socklen_t size = sizeof from;
        const ssize_t n = ::recvfrom(fd, packet.data(), std::size_t(packet.size()), 0,
                                     reinterpret_cast<sockaddr *>(&from), &size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        // Dropped before it is even unpacked: a flood costs next to nothing.
        if (!accepted(from)) {
            ++dropped;
            continue;
        }
        QByteArray one = packet.left(n);
        // Malformed packets from the network are dropped without a word:
        // a line each would let anyone flood stderr.
        OscMessage message = unpacked(one);
        if (message.path.isEmpty())
            continue;
        message.source = urlOf(from);
        messages << message;
    }
    // Handed on only now: a receiver may send, or even delete this endpoint.
    const QPointer<OscEndpoint> alive(this);
    for (const OscMessage &message : std::as_const(messages)) {
        if (!alive)
            return;
        emit received(message);
    }
}
