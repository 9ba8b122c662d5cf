// Binds the scriptable engine for a test process and reads what it recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/btrv.h"
#include "tests/fake_engine/fake_engine.h"

namespace btr::test {

class FakeEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEngineLibrary(FAKE_ENGINE_PATH);
        fake_reset();
    }
    static const FakeRequest& Req(int i) {
        const FakeRequest* r = fake_request(i);
        if (!r) throw std::runtime_error("no request " + std::to_string(i));
        return *r;
    }
    static const FakeRequest& Last() { return Req(fake_count() - 1); }
    static void Answer(int16_t status, const void* data = nullptr, int32_t size = 0, int32_t lenOut = -1) {
        fake_push(status, data, size, lenOut, nullptr, 0);
    }
    // The statistics answer of a file: record length, flags and segments
    // given as (position, length, flags).
    struct Seg {
        uint16_t pos, len, flags;
    };
    static void AnswerStat(uint16_t recordLen, uint16_t keys, uint16_t fileFlags, const std::vector<Seg>& segs,
                           int32_t records = 0) {
        uint8_t spec[2185] = {};
        std::memcpy(spec, &recordLen, 2);
        std::memcpy(spec + 4, &keys, 2);
        std::memcpy(spec + 6, &records, 4);
        std::memcpy(spec + 10, &fileFlags, 2);
        for (size_t i = 0; i < segs.size(); ++i) {
            std::memcpy(spec + 16 + 16 * i, &segs[i].pos, 2);
            std::memcpy(spec + 18 + 16 * i, &segs[i].len, 2);
            std::memcpy(spec + 20 + 16 * i, &segs[i].flags, 2);
        }
        Answer(0, spec, sizeof spec);
    }
};

} // namespace btr::test
