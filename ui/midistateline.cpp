#include "ui/midistateline.h"

#include <QFontMetrics>

#include <algorithm>

namespace {
const char separator[] = "; ";
// Less of a name than this says nothing; then fewer problems are shown.
const char leastName[] = "MMMM\u2026";

QString whole(const MidiStateLine::Problem &problem)
{
    return problem.name.isEmpty() ? problem.text : problem.text.arg(problem.name);
}

// The words around the name.
int fixedWidth(const QFontMetrics &metrics, const MidiStateLine::Problem &problem)
{
    if (problem.name.isEmpty())
        return metrics.horizontalAdvance(problem.text);
    return metrics.horizontalAdvance(problem.text.arg(QString()));
}
} // namespace

MidiStateLine::MidiStateLine(QWidget *parent) : QLabel(parent)
{
    // One line's height, with or without text; no width of its own.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setWordWrap(false);
    setTextFormat(Qt::PlainText);
    setFixedHeight(fontMetrics().height() + 2 * margin());
}

void MidiStateLine::setProblems(const QList<Problem> &problems)
{
    const bool changed = problems != current;
    current = problems;
    QStringList lines;
    for (const Problem &problem : problems)
        lines << whole(problem);
    setToolTip(lines.join(QLatin1Char('\n')));
    relayout();
    if (changed)
        emit problemsChanged();
}

QString MidiStateLine::wholeText() const
{
    QStringList parts;
    for (const Problem &problem : current)
        parts << whole(problem);
    return parts.join(QLatin1String(separator));
}

void MidiStateLine::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    relayout();
}

void MidiStateLine::relayout()
{
    const QString text = fitted(contentsRect().width());
    if (text != QLabel::text())
        setText(text);
}

// As many problems as fit, each name getting an even share of the room the
// words leave; names shorter than their share keep the rest for the others.
QString MidiStateLine::fitted(int width) const
{
    const QFontMetrics metrics = fontMetrics();
    const int sep = metrics.horizontalAdvance(QLatin1String(separator));
    const int least = metrics.horizontalAdvance(QString::fromUtf8(leastName));
    for (int shown = int(current.size()); shown > 0; --shown) {
        int room = width - sep * (shown - 1);
        QList<int> named;
        for (int i = 0; i < shown; ++i) {
            room -= fixedWidth(metrics, current.at(i));
            if (!current.at(i).name.isEmpty())
                named << i;
        }
        QList<int> nameRoom(shown, 0);
        std::sort(named.begin(), named.end(), [&](int a, int b) {
            return metrics.horizontalAdvance(current.at(a).name) <
                   metrics.horizontalAdvance(current.at(b).name);
        });
        bool fits = room >= 0;
        for (int k = 0; k < int(named.size()) && fits; ++k) {
            const int share = room / (int(named.size()) - k);
            const int need = metrics.horizontalAdvance(current.at(named.at(k)).name);
            nameRoom[named.at(k)] = std::min(need, share);
            room -= nameRoom.at(named.at(k));
            fits = need <= share || share >= least;
        }
        if (!fits && shown > 1)
            continue;
        if (!fits)
            for (int i : named)
                nameRoom[i] = std::max(
                    nameRoom.at(i), std::min(least, metrics.horizontalAdvance(current.at(i).name)));
        QStringList parts;
        for (int i = 0; i < shown; ++i) {
            const Problem &problem = current.at(i);
            parts << (problem.name.isEmpty()
                          ? problem.text
                          : problem.text.arg(metrics.elidedText(problem.name, Qt::ElideMiddle,
                                                                std::max(nameRoom.at(i), 0))));
        }
        // Even the words alone are too long: cut at the end.
        return metrics.elidedText(parts.join(QLatin1String(separator)), Qt::ElideRight, width);
    }
    return QString();
}
