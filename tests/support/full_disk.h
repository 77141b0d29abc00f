#pragma once

// A real full file system for one test: a tiny tmpfs mounted on a temporary
// folder (root only, as the test runs in CI) whose space a filler file takes.
// Files can still be created on it, empty, as on a real full disk; every
// write of data fails with ENOSPC.

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace corvex::testing {

class FullDisk final {
public:
    FullDisk()
    {
        if (!m_mountPoint.isValid()) {
            m_problem = QStringLiteral("no temporary folder");
            return;
        }
        const QByteArray where = QFile::encodeName(m_mountPoint.path());
        if (::mount("tmpfs", where.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") != 0) {
            m_problem = QStringLiteral("cannot mount a small tmpfs (%1); the full-disk tests run as root")
                            .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        m_mounted = true;
    }
    ~FullDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_mountPoint.path()).constData(), MNT_DETACH);
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    /// Empty when the disk is there; otherwise why not (the test is skipped).
    QString problem() const { return m_problem; }
    QString path(const QString& name = {}) const
    {
        return name.isEmpty() ? m_mountPoint.path() : m_mountPoint.filePath(name);
    }

    /// Takes every free block; what is already there stays.
    void fill()
    {
        QFile filler(path(QStringLiteral(".filler")));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            return;
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size()) { }
        while (filler.write(block.left(1)) == 1) { }
    }
    /// Gives the space back.
    void makeRoom() { QFile::remove(path(QStringLiteral(".filler"))); }

private:
    QTemporaryDir m_mountPoint;
    QString m_problem;
    bool m_mounted = false;
};

} // namespace corvex::testing

/// Skips the calling test when no full disk can be made here.
#define CORVEX_REQUIRE_FULL_DISK(disk)                                                                                 \
    do {                                                                                                               \
        if (!(disk).problem().isEmpty())                                                                               \
            QSKIP(qPrintable((disk).problem()));                                                                       \
    } while (false)
