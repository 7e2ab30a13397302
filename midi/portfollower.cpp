#include "midi/portfollower.h"

#include "midi/midisystem.h"

FollowedPort::Action FollowedPort::next(const QStringList &ports, const QStringList &appeared,
                                        QString *target) const
{
    if (!openOn.isEmpty()) {
        if (!ports.contains(openOn))
            return Action::Close;
        // Only the port's own return: a connection the user removed in a
        // patchbay stays removed.
        return appeared.contains(openOn) ? Action::Relink : Action::None;
    }
    const QString match = MidiSystem::matchPort(ports, chosen);
    if (match.isEmpty())
        return Action::None;
    *target = match;
    return Action::Open;
}
