#include "host/zelhost/options.h"

#include <CLI/CLI.hpp>

#include "host/zelhost/validators.h"

namespace zelhost {

void AddPortOptions(CLI::App* cmd, LineOptions& line) {
    cmd->add_option("--port,-p", line.port,
                    "serial port: a device path such as /dev/ttyUSB0 or "
                    "/dev/serial/by-id/..., COMn, or a serial device server: "
                    "tcp://HOST:PORT (raw TCP) or rfc2217://HOST:PORT (the line settings go to "
                    "the server); what does not fit the host's 11 characters goes through the "
                    "channel's init file")
        ->required();
    cmd->add_option("--channel", line.channel, "channel number (init file ZELMRnn.INT)")
        ->capture_default_str()
        ->check(NumberIn(0, 65535));
}

void AddLineOptions(CLI::App* cmd, LineOptions& line) {
    AddPortOptions(cmd, line);
    cmd->add_option(
           "--baud,-b", line.baud,
           "baud rate (default: the driver's, 9600; above 65535 it goes through the channel's "
           "init file, as BAUD_RATE)")
        ->check(NumberIn(1, 4000000));
    cmd->add_option("--data-bits", line.dataBits, "data bits (default 8)")->check(NumberIn(5, 8));
    cmd->add_option("--parity", line.parity,
                    "parity: N, E, O, M or S, or none, even, odd, mark or space (default N)")
        ->check(ParityCheck());
    cmd->add_option("--stop-bits", line.stopBits,
                    "stop bits: 1 or 2 (default 1; a Linux port cannot send 1.5)")
        ->check(StopBitsCheck());
    cmd->add_option("--timeout,-t", line.timeoutMs,
                    "reply time-out in milliseconds (sent to the driver in 10 ms units)")
        ->capture_default_str()
        ->check(NumberIn(1, 2000000000));
}

} // namespace zelhost
