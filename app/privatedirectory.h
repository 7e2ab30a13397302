#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <vector>

// A directory that belongs to the user alone, held open: every later use goes
// through the descriptor (the *at() calls, or /proc/self/fd/N/ for a socket's
// address), so the path is looked up once and nobody can swap it afterwards.
class PrivateDirectory
{
public:
    PrivateDirectory() = default;
    PrivateDirectory(PrivateDirectory &&other) noexcept;
    PrivateDirectory &operator=(PrivateDirectory &&other) noexcept;
    PrivateDirectory(const PrivateDirectory &) = delete;
    PrivateDirectory &operator=(const PrivateDirectory &) = delete;
    ~PrivateDirectory();

    // Opens path without following a link in its last part (made 0700 first
    // when create is set) and checks what was opened: a directory, ours,
    // closed to others. Otherwise invalid, with the reason in *why. With
    // closeToOthers, one of ours that is open to others is made 0700 first.
    static PrivateDirectory open(const QString &path, bool create, QString *why,
                                 bool closeToOthers = false);

    // Where the instances of uid meet: /run/user/<uid>, then
    // /tmp/brantolex-<uid>. Nothing of the environment counts.
    static QStringList candidates(uid_t uid);
    // Every candidate that is ours, the first one at least: the runtime
    // directory is taken as it is, the fallback made when missing. One that
    // is not ours is skipped while an earlier one is; when none is, the
    // result is empty and *error says why the fallback was refused. Those
    // that are there but refused are named in *refused with the reason.
    static std::vector<PrivateDirectory> resolve(const QStringList &candidates, QString *error,
                                                 QStringList *refused = nullptr);

    bool isValid() const { return fd >= 0; }
    int descriptor() const { return fd; }
    QString path() const { return dirPath; }
    // The name's path through the held descriptor, for socket addresses.
    QByteArray address(const QString &name) const;

private:
    int fd = -1;
    QString dirPath;
};
