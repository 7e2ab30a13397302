#pragma once

#include <QString>
#include <QStringList>

// One direction's port as the user chose it, followed by name as ports come
// and go: closed when it goes, opened again when it comes back (under other
// client numbers too, as a unit plugged in again gets on ALSA).
class FollowedPort
{
public:
    enum class Action
    {
        None,
        Close, // the port it is open on went away
        Open,  // the chosen port is there and not open: open target
        Relink // it went and came back between two looks
    };

    // What to do with the lists as they are now; appeared: ports that
    // registered since the last look.
    Action next(const QStringList &ports, const QStringList &appeared, QString *target) const;

    QString chosen; // the user's choice, kept while it is absent; empty for none
    QString openOn; // the listed port it is open on; empty when closed
};
