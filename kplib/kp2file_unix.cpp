// KP2File, POSIX part: what an atomic save adds to QSaveFile on this platform.
#include "kp2file.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool KP2File::keepOwnerAndMode(int fd, const QString &target) {
    struct stat old;
    // stat() follows a symbolic link to the file that is replaced. No file there: the replacement keeps the mode
    // it was created with (0666 less the umask) and our owner, as any new file.
    if (::stat(QFile::encodeName(target).constData(), &old) != 0) return true;
    if (::fchmod(fd, old.st_mode & 07777) != 0) return false;
    // chown may drop set-id bits, so the mode is applied once more after it.
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        return ::fchown(fd, old.st_uid, old.st_gid) == 0 && ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    return true;
}

bool KP2File::syncToDisk(int fd) {
    return ::fsync(fd) == 0;
}

void KP2File::syncDirectory(const QString &dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}
