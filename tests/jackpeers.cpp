#include "jackpeers.h"

#include <jack/jack.h>

QStringList jackPorts(const QString &prefix)
{
    QStringList names;
    jack_client_t *client = jack_client_open("Test Lister", JackNoStartServer, nullptr);
    if (!client)
        return names;
    if (const char **ports = jack_get_ports(client, nullptr, nullptr, 0)) {
        for (const char **p = ports; *p; ++p) {
            const QString name = QString::fromUtf8(*p);
            if (name.startsWith(prefix))
                names << name;
        }
        jack_free(ports);
    }
    jack_client_close(client);
    return names;
}

QStringList jackConnections(const QString &port)
{
    QStringList names;
    jack_client_t *client = jack_client_open("Test Lister", JackNoStartServer, nullptr);
    if (!client)
        return names;
    if (jack_port_t *p = jack_port_by_name(client, port.toUtf8().constData())) {
        if (const char **ports = jack_port_get_all_connections(client, p)) {
            for (const char **c = ports; *c; ++c)
                names << QString::fromUtf8(*c);
            jack_free(ports);
        }
    }
    jack_client_close(client);
    return names;
}
