#include "usbemu/ChildPlaces.h"

#include <atomic>

namespace usbemu
{

namespace
{

// Far enough apart for all a velmor-bridge holds; as many places as the rigs start at once.
constexpr int kDescriptorsApart = 64;
constexpr int kPlaces = 12;

} // namespace

std::vector<std::string> CommandApart(const std::vector<std::string> &Command)
{
    static std::atomic<int> children = 0;
    const int skip = kDescriptorsApart * (children++ % kPlaces);
    if (skip == 0 || Command.empty())
        return Command;
    std::string script = "exec";
    for (int descriptor = 3; descriptor < 3 + skip; ++descriptor)
        script += " " + std::to_string(descriptor) + "</dev/null";
    script += "; exec \"$0\" \"$@\"";
    std::vector<std::string> apart{"/bin/bash", "-c", script};
    apart.insert(apart.end(), Command.begin(), Command.end());
    return apart;
}

} // namespace usbemu
