#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <cstdint>

class MidiIO;

// Two small lights, In and Out, for "does anything arrive, does anything
// leave": each is lit for a moment when a message passed that side of the
// router, and Out is red while the output refuses messages. The router
// only counts; the lights read the counts, at most 30 times a second and
// only while they are shown.
class ActivityLights : public QWidget
{
    Q_OBJECT

public:
    enum class State
    {
        Off,
        Lit,
        Dropping
    };

    explicit ActivityLights(QWidget *parent = nullptr);

    void watch(const MidiIO *router);
    State inState() const;
    State outState() const;

    // How long a light stays on after the last message it saw.
    static constexpr int flashMs = 100;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    class Lamp;

    void poll();
    void startPolling();

    const MidiIO *router = nullptr;
    Lamp *in = nullptr;
    Lamp *out = nullptr;
    std::uint32_t inSeen = 0, outSeen = 0, droppedSeen = 0;
    QTimer timer;
    QElapsedTimer clock;
};
