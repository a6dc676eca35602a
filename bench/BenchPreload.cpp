#include "bench/BenchPreload.h"

namespace bench
{

QProcessEnvironment UnderPreload(const char *ChildVariable)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString preload = environment.value(QStringLiteral("LD_PRELOAD"));
    environment.insert(QStringLiteral("LD_PRELOAD"),
                       QStringLiteral("libumockdev-preload.so.0") +
                           (preload.isEmpty() ? QString() : ":" + preload));
    const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       (asan.isEmpty() ? QString() : asan + ":") +
                           QStringLiteral("verify_asan_link_order=0"));
    environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
    return environment;
}

} // namespace bench
