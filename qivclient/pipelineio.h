// How far a running upload line has come, read from the kernel's I/O counters of its processes (/proc/<pid>/io),
// so that the stream itself never passes through the daemon. Linux only; reads a few small /proc files per call.
#pragma once

#include <QtGlobal>

namespace pipelineio {

// The bytes of the stream that have left the source of the shell pipeline running below the process root: the
// "rchar" counter of the pipeline's first reader. That is the descendant whose standard input is a pipe written by
// a descendant that reads no pipe itself (the source), or by none once the source has ended. The source's own
// "wchar" would not do: `zfs send` may hand its output to a ZFS daemon that writes it (zfs-fuse does). The reader's
// other reads (its configuration) count too, a few KiB against the stream. Descendants are found through
// /proc/<pid>/task/<tid>/children, a few levels deep; the root itself is left out. -1 when no such reader runs or
// its counters cannot be read.
qint64 streamBytesRead(qint64 root);

}  // namespace pipelineio
