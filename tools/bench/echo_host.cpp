// bridge-echo-host: reads a frame from standard input and writes it back in
// one write, until the input ends. The least any host pays for a round trip.
#include <cstdint>
#include <string>

#include "whole_io.h"

int main()
{
    uint32_t length;
    std::string frame;
    while (ReadExactly(0, &length, sizeof length)) {
        frame.assign(reinterpret_cast<const char*>(&length), sizeof length);
        frame.resize(sizeof length + length);
        if (!ReadExactly(0, frame.data() + sizeof length, length) || !WriteExactly(1, frame.data(), frame.size()))
            return 1;
    }
    return 0;
}
