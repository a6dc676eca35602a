#include "vport/SystemError.h"

#include <system_error>

QString SystemErrorText(const QString &What, int Errno)
{
    // generic_category() goes through strerror_r, which other threads cannot clobber.
    return QStringLiteral("%1 failed: %2")
        .arg(What, QString::fromStdString(std::generic_category().message(Errno)));
}
