#include "settings/useraccount.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

UserAccount currentUserAccount()
{
    long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufferSize <= 0)
        bufferSize = 1024;
    std::vector<char> buffer(static_cast<std::size_t>(bufferSize));
    passwd entry{};
    passwd *found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < 1024 * 1024)
        buffer.resize(buffer.size() * 2);
    UserAccount account;
    if (error == 0 && found) {
        account.name = found->pw_name ? QByteArray(found->pw_name) : QByteArray();
        account.home = found->pw_dir ? QByteArray(found->pw_dir) : QByteArray();
    }
    return account;
}
