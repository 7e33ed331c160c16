// Placeholder until the serial layer lands.
#include "serial/serial.h"
namespace zel {
int OpenComPort(const PortSettings&, void**) { return kSerialNotOpened; }
int OpenComPortInit(const ChannelState&, const PortSettings&, void**) { return kSerialNotOpened; }
int CloseComPort(void*) { return kSerialIoFailed; }
int SetReadTimeout(void*, int32_t) { return 0; }
int FlushInput(void*) { return 0; }
int WritePort(void*, const uint8_t*, uint32_t, uint32_t*) { return kSerialIoFailed; }
int ReadPort(void*, uint8_t*, uint16_t, uint32_t* got) { if (got) *got = 0; return kSerialIoFailed; }
} // namespace zel
