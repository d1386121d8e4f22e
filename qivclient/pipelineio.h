// How far a running upload line has come, read from the kernel's I/O counters of its processes (/proc/<pid>/io),
// so that the stream itself never passes through the daemon. Linux only; reads a few small /proc files per call.
#pragma once

#include <QtGlobal>

namespace pipelineio {

// The bytes the source of the pipeline running below the process root has written so far: the "wchar" counter of
// the descendant whose standard output is a pipe and whose standard input is not (the first command of a shell
// pipeline; every later one reads a pipe). Descendants are followed through /proc/<pid>/task/<tid>/children, a few
// levels deep. -1 when no such process runs (not started yet, or ended) or its counters cannot be read.
qint64 sourceBytesWritten(qint64 root);

}  // namespace pipelineio
