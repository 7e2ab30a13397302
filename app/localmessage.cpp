#include "app/localmessage.h"

#include <QDataStream>
#include <QLocalSocket>
#include <QtEndian>
#include <QThread>

namespace {

constexpr quint32 nullLength = 0xFFFFFFFF;
constexpr qint64 headerSize = 8;

// Bounded per wait, not as a whole: a frame may trickle in. A thread asked to
// stop gives up at once, so a server being torn down never waits on a peer.
bool waitForBytes(QLocalSocket *socket, qint64 count)
{
    while (socket->bytesAvailable() < count) {
        if (QThread::currentThread()->isInterruptionRequested())
            return false;
        if (!socket->waitForReadyRead(LocalMessage::readWait))
            return false;
    }
    return true;
}

// A peer that breaks the format gets no second chance: whatever follows
// cannot be framed reliably.
QString refuse(QLocalSocket *socket)
{
    socket->abort();
    return QString();
}

} // namespace

bool writeMessage(QLocalSocket *socket, const QString &text, int timeout)
{
    if (!socket || socket->state() != QLocalSocket::ConnectedState)
        return false;
    if (!text.isNull() && text.size() > (LocalMessage::maxFrameSize - 4) / 2)
        return false;

    QByteArray frame;
    QDataStream out(&frame, QIODevice::WriteOnly);
    out << qint32(0) << text;
    out.device()->seek(0);
    out << qint32(frame.size() - 4);

    if (socket->write(frame) == -1)
        return false;
    return socket->waitForBytesWritten(timeout);
}

FrameState takeMessage(QLocalSocket *socket, QString *text)
{
    // Only peeked until the whole frame is there, so the stream stays in
    // step for the next attempt.
    if (socket->bytesAvailable() < 4)
        return FrameState::Incomplete;
    const QByteArray sizeField = socket->peek(4);
    const qint32 size = qFromBigEndian<qint32>(sizeField.constData());
    if (size < 4 || size > LocalMessage::maxFrameSize) {
        refuse(socket);
        return FrameState::Malformed;
    }
    if (socket->bytesAvailable() < headerSize)
        return FrameState::Incomplete;
    const QByteArray header = socket->peek(headerSize);
    const quint32 length = qFromBigEndian<quint32>(header.constData() + 4);
    const bool consistent =
        length == nullLength ? size == 4 : length % 2 == 0 && length == quint32(size) - 4;
    if (!consistent) {
        refuse(socket);
        return FrameState::Malformed;
    }
    if (socket->bytesAvailable() < 4 + qint64(size))
        return FrameState::Incomplete;
    const QByteArray frame = socket->read(4 + qint64(size));

    QDataStream in(frame.sliced(4));
    in >> *text;
    if (in.status() != QDataStream::Ok) {
        refuse(socket);
        return FrameState::Malformed;
    }
    return FrameState::Whole;
}

QString readMessage(QLocalSocket *socket, bool *ok)
{
    if (ok)
        *ok = false;
    // Frames that arrived whole stay readable after the peer has gone.
    if (!socket ||
        (socket->state() != QLocalSocket::ConnectedState && socket->bytesAvailable() == 0))
        return QString();

    for (;;) {
        const qint64 before = socket->bytesAvailable();
        QString text;
        switch (takeMessage(socket, &text)) {
        case FrameState::Whole:
            if (ok)
                *ok = true;
            return text;
        case FrameState::Malformed:
            return QString();
        case FrameState::Incomplete:
            break;
        }
        // Bounded per wait, not as a whole: a frame may trickle in.
        if (!waitForBytes(socket, before + 1))
            return QString();
    }
}
