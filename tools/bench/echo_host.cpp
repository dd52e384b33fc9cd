// bridge-echo-host: reads a frame from standard input and writes it back in
// one write, until the input ends. The least any host pays for a round trip.
#include <string>

#include "whole_io.h"

int main()
{
    std::string body;
    while (ReadFrame(0, body))
        if (!WriteFrame(1, body))
            return 1;
    return 0;
}
