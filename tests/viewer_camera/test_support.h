#pragma once
// Helpers shared by the camera link tests: a frame sink for the parser's callback, and feeding reads.

#include "camera_proto.h"
#include "camera_proto_testing.h"
#include "stream_generator.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace camtest {

struct Delivered {
    std::vector<uint8_t> data;
    bool haspic = false;
    uint32_t value = 0;
    unsigned flag0 = 0;
    unsigned flagsHigh = 0;
};

// Collects every frame the parser delivers (the callback copies, as the stream thread's does).
class FrameSink {
public:
    static std::vector<Delivered> &frames()
    {
        static std::vector<Delivered> f;
        return f;
    }
    static int callback(vs_frameinfo_t *info, void *user)
    {
        EXPECT_EQ(user, reinterpret_cast<void *>(&frames()));
        Delivered d;
        d.data.assign(info->data, info->data + info->len);
        d.haspic = info->haspic;
        d.value = info->value;
        d.flag0 = info->flag0;
        d.flagsHigh = info->flags_high;
        frames().push_back(std::move(d));
        return 0;
    }
    static vs_proto_cb_t record() { return vs_proto_cb_t{&FrameSink::callback, &frames()}; }
};

// A fresh parser with the sink registered; the trace of proto_init is swallowed.
inline void freshParser()
{
    proto_reset_for_testing();
    FrameSink::frames().clear();
    const vs_proto_cb_t cb = FrameSink::record();
    testing::internal::CaptureStdout();
    proto_init(&cb);
    testing::internal::GetCapturedStdout();
}

inline void feed(const vcam::Bytes &read)
{
    proto_input(read.data(), static_cast<int>(read.size()));
}

inline void feedAll(const std::vector<vcam::Bytes> &reads)
{
    for (const vcam::Bytes &r : reads)
        feed(r);
}

// Feeds the reads and returns what the parser printed.
inline std::string traceOf(const std::vector<vcam::Bytes> &reads)
{
    testing::internal::CaptureStdout();
    feedAll(reads);
    return testing::internal::GetCapturedStdout();
}

inline vcam::Bytes concat(std::initializer_list<vcam::Bytes> parts)
{
    vcam::Bytes all;
    for (const vcam::Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline vcam::Bytes toBytes(const QByteArray &a)
{
    return vcam::Bytes(reinterpret_cast<const uint8_t *>(a.constData()),
                       reinterpret_cast<const uint8_t *>(a.constData()) + a.size());
}

inline int countOf(const std::string &haystack, const std::string &needle)
{
    int n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1))
        ++n;
    return n;
}

}  // namespace camtest
