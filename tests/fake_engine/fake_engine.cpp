// The scriptable engine: see fake_engine.h.
#include "tests/fake_engine/fake_engine.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace {

struct Answer {
    int16_t status;
    std::vector<uint8_t> data;
    int32_t dataLenOut;
    std::vector<uint8_t> key;
};

std::mutex gLock;
std::deque<Answer> gAnswers;
std::vector<FakeRequest> gRequests;

} // namespace

extern "C" {

__attribute__((visibility("default"))) void fake_reset(void) {
    std::lock_guard lock(gLock);
    gAnswers.clear();
    gRequests.clear();
}

__attribute__((visibility("default"))) void fake_push(int16_t status, const void* data, int32_t dataSize,
                                                      int32_t dataLenOut, const void* key, int32_t keySize) {
    std::lock_guard lock(gLock);
    Answer a{status, {}, dataLenOut, {}};
    if (data && dataSize > 0) a.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + dataSize);
    if (key && keySize > 0) a.key.assign(static_cast<const uint8_t*>(key), static_cast<const uint8_t*>(key) + keySize);
    gAnswers.push_back(std::move(a));
}

__attribute__((visibility("default"))) int fake_count(void) {
    std::lock_guard lock(gLock);
    return static_cast<int>(gRequests.size());
}

__attribute__((visibility("default"))) const FakeRequest* fake_request(int index) {
    std::lock_guard lock(gLock);
    return index >= 0 && index < static_cast<int>(gRequests.size()) ? &gRequests[static_cast<size_t>(index)] : nullptr;
}

__attribute__((visibility("default"))) int16_t BTRCALLID(uint16_t op, void* posBlock, void* dataBuf, int32_t* dataLen,
                                                         void* keyBuf, uint8_t keyLen, uint8_t keyNum, void* clientId) {
    std::lock_guard lock(gLock);
    FakeRequest r{};
    r.op = op;
    r.dataLenIn = dataLen ? *dataLen : -1;
    r.keyLen = keyLen;
    r.keyNum = keyNum;
    r.hasData = dataBuf != nullptr;
    r.hasKey = keyBuf != nullptr;
    r.hasPosBlock = posBlock != nullptr;
    r.hasClient = clientId != nullptr;
    if (dataBuf && dataLen && *dataLen > 0)
        std::memcpy(r.data, dataBuf, std::min<size_t>(static_cast<size_t>(*dataLen), sizeof r.data));
    if (keyBuf && keyLen) std::memcpy(r.key, keyBuf, keyLen);
    if (clientId) std::memcpy(r.client, clientId, 16);

    int16_t status = 0;
    int32_t out = dataLen ? *dataLen : 0;
    if (!gAnswers.empty()) {
        Answer a = std::move(gAnswers.front());
        gAnswers.pop_front();
        status = a.status;
        const int32_t cap = dataLen ? *dataLen : 0;
        const size_t n = std::min<size_t>(a.data.size(), static_cast<size_t>(std::max(cap, 0)));
        if (dataBuf && n) std::memcpy(dataBuf, a.data.data(), n);
        out = a.dataLenOut >= 0 ? a.dataLenOut : static_cast<int32_t>(n);
        if (keyBuf && !a.key.empty()) std::memcpy(keyBuf, a.key.data(), std::min<size_t>(a.key.size(), keyLen));
    }
    if (dataLen) *dataLen = out;
    r.dataLenOut = out;
    gRequests.push_back(r);
    return status;
}

} // extern "C"
