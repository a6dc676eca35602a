#pragma once

#include <QString>

// The text kept for a failed system call: what failed and the system's reason, so that the
// panel can show the user more than the status word.
QString SystemErrorText(const QString &What, int Errno);
