// Helpers shared by the fuzz targets that read files: check() ends the run on a broken invariant (libFuzzer keeps
// the input), and scratchFile() gives each process one temporary directory for the files a target writes. Not
// thread-safe; a target runs its inputs one at a time.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

namespace fuzz {

inline void check(bool condition) {
    if (!condition) std::abort();
}

// The path of name in this process's temporary directory (under TMPDIR; removed at exit).
inline QString scratchFile(const QString &name) {
    static QTemporaryDir dir;
    check(dir.isValid());
    return dir.filePath(name);
}

// Replaces the file at path by the input bytes.
inline void writeInput(const QString &path, const uint8_t *data, size_t size) {
    QFile file(path);
    check(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    check(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
}

inline QByteArray bytes(const uint8_t *data, size_t size) {
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

}  // namespace fuzz
