// Waiting on conditions, never on fixed sleeps: events are processed while waiting, so messages
// that a worker hands to the UI thread get through.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <chrono>

namespace test
{

constexpr std::chrono::milliseconds kPatience{20000};

template <typename TPredicate>
bool WaitUntil(TPredicate predicate, std::chrono::milliseconds patience = kPatience)
{
    QElapsedTimer clock;
    clock.start();
    while (!predicate()) {
        if (clock.elapsed() > patience.count())
            return predicate();
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    return true;
}

} // namespace test
