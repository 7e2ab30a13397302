#pragma once

#include <QString>

class QLocalSocket;

// One frame of the local instance channel, the same in both directions:
// a signed 32-bit big-endian count of the bytes that follow, then the text as
// QDataStream serialises a QString (32-bit length in bytes, UTF-16BE units;
// 0xFFFFFFFF for a null string).
namespace LocalMessage {
// Nothing we send comes close; a peer declaring more is broken or hostile.
constexpr qint32 maxFrameSize = 1024 * 1024;
// Each single wait for more incoming bytes.
constexpr int readWait = 250;
} // namespace LocalMessage

// Writes one frame with a single write call and waits up to timeout ms for it
// to leave. False when the socket is not connected, the write fails or times
// out, or the text is too long for a frame the peer would accept.
bool writeMessage(QLocalSocket *socket, const QString &text, int timeout);

// Reads one frame, also one still buffered after the peer has gone. *ok is
// true only when a whole, well-formed frame was read.
// A frame still incomplete after a wait that brought nothing stays in the
// socket for a later attempt; a malformed frame aborts the connection.
QString readMessage(QLocalSocket *socket, bool *ok);

// Takes one frame from what the socket holds, without waiting: Whole with
// its text, Incomplete (nothing taken) until the rest has come, Malformed
// after aborting the connection.
enum class FrameState
{
    Incomplete,
    Whole,
    Malformed
};
FrameState takeMessage(QLocalSocket *socket, QString *text);
