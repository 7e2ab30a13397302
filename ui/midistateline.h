#pragma once

#include <QLabel>
#include <QList>
#include <QString>

// One line that says what stands in the way of MIDI right now: a system
// that is gone, a chosen port that is absent. It keeps one height whatever
// it says, so the window never changes size for it, and it never asks for
// more width: a long port name is elided in its middle, so the words around
// it stay readable.
class MidiStateLine : public QLabel
{
    Q_OBJECT

public:
    struct Problem
    {
        // A translated text; %1, when there, stands for the name.
        QString text;
        QString name;
        bool operator==(const Problem &other) const
        {
            return text == other.text && name == other.name;
        }
    };

    explicit MidiStateLine(QWidget *parent = nullptr);

    // Most important first; what does not fit is left out from the end.
    void setProblems(const QList<Problem> &problems);
    QList<Problem> problems() const { return current; }
    // The problems joined as the line shows them when it has the room.
    QString wholeText() const;

signals:
    void problemsChanged();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void relayout();
    QString fitted(int width) const;

    QList<Problem> current;
};
