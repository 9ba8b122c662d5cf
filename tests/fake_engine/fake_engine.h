/* A scriptable engine for the tests: it records every request and answers
   what the test scripted, one answer per request (status 0 with the buffers
   untouched once the script runs out). */
#ifndef BTRKIT_FAKE_ENGINE_H
#define BTRKIT_FAKE_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FakeRequest {
    uint16_t op;
    int32_t dataLenIn;   /* -1 when no length was passed */
    int32_t dataLenOut;
    uint8_t keyLen;
    uint8_t keyNum;
    int hasData, hasKey, hasPosBlock, hasClient;
    uint8_t data[4096];  /* the data buffer as sent (first dataLenIn bytes, at most 4096) */
    uint8_t key[256];    /* the key buffer as sent (keyLen bytes) */
    uint8_t client[16];
} FakeRequest;

void fake_reset(void);
/* The next unscripted answer: status, bytes written to the data buffer (from
   offset 0, at most the capacity given), the data length returned (-1: the
   number of bytes written), bytes written to the key buffer. */
void fake_push(int16_t status, const void* data, int32_t dataSize, int32_t dataLenOut, const void* key,
               int32_t keySize);
int fake_count(void);
/* Valid until the next request reaches the engine. */
const FakeRequest* fake_request(int index);

#ifdef __cplusplus
}
#endif

#endif
