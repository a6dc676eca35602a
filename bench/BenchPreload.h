// umockdev's preload has to be in a process from its start, so a benchmark that emulates chips
// measures in a child of itself started with it: this is that child's environment.
#pragma once

#include <QProcessEnvironment>

namespace bench
{

// This process's environment with umockdev's preload first and ChildVariable set, which tells the
// child that it is the one to measure; ASan's check that its runtime comes first is off, as the
// preload does.
QProcessEnvironment UnderPreload(const char *ChildVariable);

} // namespace bench
