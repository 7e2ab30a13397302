#include "ui/activitylights.h"

#include "midi/midiio.h"

#include <QPainter>
#include <QVBoxLayout>

namespace {
// About 30 Hz: a flash of 100 ms shows on three frames.
const int pollMs = 33;

const QColor litColour(0x2e, 0xc2, 0x3c);
const QColor droppingColour(Qt::red);
} // namespace

// One light and its word, a widget of its own so that screen readers can
// name it and say what it shows.
class ActivityLights::Lamp : public QWidget
{
public:
    Lamp(const QString &label, const QString &name, QWidget *parent) : QWidget(parent), label(label)
    {
        setAccessibleName(name);
        setState(State::Off);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }

    State state = State::Off;
    qint64 litUntil = -1;
    qint64 redUntil = -1;

    void settle(qint64 now)
    {
        setState(redUntil > now ? State::Dropping : litUntil > now ? State::Lit : State::Off);
    }

protected:
    QSize sizeHint() const override
    {
        const QFontMetrics metrics = fontMetrics();
        return {dot() + metrics.horizontalAdvance(QLatin1Char(' ')) +
                    metrics.horizontalAdvance(label) + 2,
                metrics.height()};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF circle(1, (height() - dot()) / 2.0, dot(), dot());
        painter.setPen(palette().color(QPalette::Dark));
        painter.setBrush(state == State::Lit        ? litColour
                         : state == State::Dropping ? droppingColour
                                                    : palette().color(QPalette::Mid));
        painter.drawEllipse(circle);
        painter.setPen(palette().color(QPalette::WindowText));
        const int x = 1 + dot() + fontMetrics().horizontalAdvance(QLatin1Char(' '));
        painter.drawText(QRect(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft,
                         label);
    }

private:
    int dot() const { return fontMetrics().ascent() * 2 / 3; }

    void setState(State next)
    {
        if (next == state && !accessibleDescription().isEmpty())
            return;
        state = next;
        setAccessibleDescription(next == State::Lit        ? ActivityLights::tr("messages passing")
                                 : next == State::Dropping ? ActivityLights::tr("dropping messages")
                                                           : ActivityLights::tr("idle"));
        update();
    }

    const QString label;
};

ActivityLights::ActivityLights(QWidget *parent) : QWidget(parent)
{
    in = new Lamp(tr("In"), tr("MIDI in"), this);
    out = new Lamp(tr("Out"), tr("MIDI out"), this);
    in->setToolTip(tr("Lights up when a MIDI message arrives at the input"));
    out->setToolTip(
        tr("Lights up when a MIDI message leaves for the unit; red while the output drops them"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addStretch();
    layout->addWidget(in);
    layout->addWidget(out);
    layout->addStretch();
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    timer.setInterval(pollMs);
    connect(&timer, &QTimer::timeout, this, &ActivityLights::poll);
    clock.start();
}

ActivityLights::State ActivityLights::inState() const
{
    return in->state;
}

ActivityLights::State ActivityLights::outState() const
{
    return out->state;
}

void ActivityLights::watch(const MidiIO *watched)
{
    router = watched;
    if (!router)
        return;
    inSeen = router->activity().in.load(std::memory_order_relaxed);
    outSeen = router->activity().out.load(std::memory_order_relaxed);
    droppedSeen = router->activity().dropped.load(std::memory_order_relaxed);
    startPolling();
}

void ActivityLights::startPolling()
{
    if (router && isVisible() && !timer.isActive())
        timer.start();
}

void ActivityLights::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    startPolling();
}

void ActivityLights::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    timer.stop();
}

void ActivityLights::poll()
{
    const qint64 now = clock.elapsed();
    const Activity &counts = router->activity();
    const std::uint32_t inCount = counts.in.load(std::memory_order_relaxed);
    const std::uint32_t outCount = counts.out.load(std::memory_order_relaxed);
    const std::uint32_t dropped = counts.dropped.load(std::memory_order_relaxed);
    if (inCount != inSeen)
        in->litUntil = now + flashMs;
    // With no output open, taken means that nothing went anywhere.
    if (outCount != outSeen && router->outputOpen())
        out->litUntil = now + flashMs;
    if (dropped != droppedSeen)
        out->redUntil = now + flashMs;
    inSeen = inCount;
    outSeen = outCount;
    droppedSeen = dropped;
    in->settle(now);
    out->settle(now);
}
