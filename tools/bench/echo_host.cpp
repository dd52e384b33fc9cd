// bridge-echo-host [--twice]: reads a frame from standard input and writes it
// back in one write (with --twice, two copies in that write, as a host answers
// a "write" and forwards its echo), until the input ends. The least any host
// pays for a round trip. Other arguments, such as the ones a browser gives its
// hosts, are ignored.
#include <cstdint>
#include <string>
#include <string_view>

#include "whole_io.h"

int main(int argc, char** argv)
{
    int copies = 1;
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--twice")
            copies = 2;
    uint32_t length;
    std::string frame, reply;
    while (ReadExactly(0, &length, sizeof length)) {
        frame.assign(reinterpret_cast<const char*>(&length), sizeof length);
        frame.resize(sizeof length + length);
        if (!ReadExactly(0, frame.data() + sizeof length, length))
            return 1;
        reply.clear();
        for (int copy = 0; copy < copies; ++copy)
            reply += frame;
        if (!WriteExactly(1, reply.data(), reply.size()))
            return 1;
    }
    return 0;
}
