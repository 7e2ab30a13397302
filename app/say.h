#pragma once

#include <QString>

// The program's lines on standard error, all through one way: Qt's message
// handler, which writes each as a whole line (and lets tests catch it). Not
// for the real-time threads: they count, and others say.
void say(const QString &line);
// The system's words for an error number.
QString errnoText(int number);
