// Helpers shared by QivClient's source files; no other unit includes this header.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include "kp2utils.h"

namespace qivclient_p {

// A trace line whose label is given as text rather than taken from the expression, for the lines whose label is
// fixed (the tool's standard error, the scheduler's markers at their established positions).
void traceAt(const char *file, int line, const char *function, const QString &label, const QVariant &value);

// The bytes up to the first NUL, decoded as UTF-8.
QString textUpToNul(const QByteArray &bytes);

}  // namespace qivclient_p

#define TRACE_AS(label, value) qivclient_p::traceAt(__FILE__, __LINE__, __FUNCTION__, label, value)
