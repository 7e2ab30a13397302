#include "app/privatedirectory.h"

#include "app/say.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

PrivateDirectory::PrivateDirectory(PrivateDirectory &&other) noexcept
    : fd(std::exchange(other.fd, -1)), dirPath(std::move(other.dirPath))
{
}

PrivateDirectory &PrivateDirectory::operator=(PrivateDirectory &&other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = std::exchange(other.fd, -1);
        dirPath = std::move(other.dirPath);
    }
    return *this;
}

PrivateDirectory::~PrivateDirectory()
{
    if (fd >= 0)
        ::close(fd);
}

PrivateDirectory PrivateDirectory::open(const QString &path, bool create, QString *why,
                                        bool closeToOthers)
{
    PrivateDirectory directory;
    const QFileInfo info(path);
    // The parent is taken as it is: /run/user and /tmp belong to root.
    const QByteArray parentPath = QFile::encodeName(info.path());
    const QByteArray name = QFile::encodeName(info.fileName());
    if (!info.isAbsolute() || name.isEmpty() || name == "." || name == "..") {
        *why = QStringLiteral("is no absolute path of a directory");
        return directory;
    }
    const int parent = ::open(parentPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
        *why = errnoText(errno);
        return directory;
    }
    const bool made = create && ::mkdirat(parent, name.constData(), 0700) == 0;
    if (create && !made && errno != EEXIST) {
        *why = errnoText(errno);
        ::close(parent);
        return directory;
    }
    const int fd = ::openat(parent, name.constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    const int openError = errno;
    ::close(parent);
    struct stat st = {};
    if (fd < 0) {
        // O_NOFOLLOW on a link gives ELOOP, or ENOTDIR with O_DIRECTORY.
        struct stat link = {};
        const bool isLink =
            ::lstat(QFile::encodeName(path).constData(), &link) == 0 && S_ISLNK(link.st_mode);
        *why = isLink                 ? QStringLiteral("is a symbolic link")
               : openError == ENOTDIR ? QStringLiteral("is not a directory")
                                      : errnoText(openError);
        return directory;
    }
    // 0700 whatever the umask.
    const bool statted = ::fstat(fd, &st) == 0;
    const mode_t wanted = made ? 0700 : st.st_mode & 0700;
    if (statted && st.st_uid == ::geteuid() && (made || closeToOthers) &&
        (st.st_mode & 07777) != wanted && ::fchmod(fd, wanted) == 0)
        st.st_mode = (st.st_mode & ~mode_t(07777)) | wanted;
    if (!statted)
        *why = errnoText(errno);
    else if (st.st_uid != ::geteuid())
        *why = QStringLiteral("belongs to uid %1").arg(st.st_uid);
    else if (st.st_mode & 077)
        *why = QStringLiteral("is open to other users (mode %1)")
                   .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    else {
        directory.fd = fd;
        directory.dirPath = path;
        return directory;
    }
    ::close(fd);
    return directory;
}

QStringList PrivateDirectory::candidates(uid_t uid)
{
    return {QStringLiteral("/run/user/%1").arg(uid), QStringLiteral("/tmp/brantolex-%1").arg(uid)};
}

std::vector<PrivateDirectory> PrivateDirectory::resolve(const QStringList &candidates,
                                                        QString *error, QStringList *refused)
{
    std::vector<PrivateDirectory> found;
    QString why;
    for (int i = 0; i < candidates.size(); ++i) {
        const bool last = i == candidates.size() - 1;
        why.clear();
        PrivateDirectory directory = open(candidates.at(i), last, &why);
        if (directory.isValid())
            found.push_back(std::move(directory));
        else if (refused && (last || QFileInfo::exists(candidates.at(i))))
            *refused << candidates.at(i) + QStringLiteral(": ") + why;
    }
    if (found.empty() && error)
        *error = QStringLiteral("private directory %1: %2")
                     .arg(candidates.value(candidates.size() - 1), why);
    return found;
}

QByteArray PrivateDirectory::address(const QString &name) const
{
    return "/proc/self/fd/" + QByteArray::number(fd) + '/' + QFile::encodeName(name);
}
