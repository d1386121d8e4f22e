// Fuzzes the command-line reader kp2utils cmdArguments with the input split into arguments at NUL bytes (as the
// kernel hands them over). Checked against the contract: every argument starting with "-" is a key, nothing else
// is, and each key maps to the argument after its last occurrence when that is no key, else to "".
#include <QStringList>

#include "fuzzsupport.h"
#include "kp2utils.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    QStringList args;
    for (const QByteArray &word : fuzz::bytes(data, size).split('\0')) args.append(QString::fromUtf8(word));

    const QHash<QString, QString> out = cmdArguments(args);
    int keys = 0;
    for (int i = 0; i < args.size(); ++i) {
        if (!args.at(i).startsWith(QLatin1Char('-'))) continue;
        check(out.contains(args.at(i)));
        if (args.lastIndexOf(args.at(i)) != i) continue;
        ++keys;
        const bool valued = i + 1 < args.size() && !args.at(i + 1).startsWith(QLatin1Char('-'));
        check(out.value(args.at(i)) == (valued ? args.at(i + 1) : QString()));
    }
    check(out.size() == keys);
    return 0;
}
