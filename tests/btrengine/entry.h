// The engine's call interface as a client program declares it.
#pragma once

#include <cstdint>

extern "C" {
int16_t BTRCALLID(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen, void* keyBuf, uint8_t keyLen,
                  uint8_t keyNum, void* clientId);
int16_t BTRCALL(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen, void* keyBuf, uint8_t keyLen,
                uint8_t keyNum);
}
