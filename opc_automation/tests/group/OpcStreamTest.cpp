// The DA 1.0 stream reader natively, under the sanitizers: well-formed streams of every layout
// (the ones SimServer's DA 1.0 personality writes, plus arrays), then corrupted ones: truncated,
// offsets past the end, counts larger than the stream, negative and huge string lengths,
// multi-dimensional arrays, and a bounded run of random mutations of the well-formed streams,
// each read checked to stay inside its buffer (AddressSanitizer) and to keep only items that fit.
#include <gtest/gtest.h>

#include "portable/OpcStream.h"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace veltrane::stream;

namespace {

// Little-endian stream writer.
struct Writer {
  std::vector<uint8_t> b;
  size_t U16(uint16_t v) { return Put(v, 2); }
  size_t U32(uint32_t v) { return Put(v, 4); }
  size_t U64(uint64_t v) { return Put(v, 8); }
  size_t Put(uint64_t v, size_t n) {
    size_t at = b.size();
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return at;
  }
  void Set32(size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  size_t Variant(uint16_t vt, uint64_t bits) {
    size_t at = U16(vt);
    U16(0), U16(0), U16(0);
    U64(bits);
    return at;
  }
  void Text(const std::u16string& s, bool terminator) {
    U32(static_cast<uint32_t>(s.size() * 2));
    for (char16_t c : s) U16(c);
    if (terminator) U16(0);
  }
};

// One item header of a stream under construction.
struct ItemHeader {
  uint32_t client;
  uint16_t quality;
  uint64_t time;
};

// A data stream: group header, item headers, then each value as write(w) appends it.
template <class F>
std::vector<uint8_t> DataStream(bool withTime, uint32_t transaction, const std::vector<ItemHeader>& items, F&& write) {
  Writer w;
  size_t sizeAt = w.U32(0);
  w.U32(static_cast<uint32_t>(items.size()));
  w.U32(0x5150);
  w.U32(transaction);
  w.U32(0);
  std::vector<size_t> offsetAt;
  for (auto& it : items) {
    w.U32(it.client);
    offsetAt.push_back(w.U32(0));
    w.U16(it.quality);
    w.U16(0);
    if (withTime) w.U64(it.time);
  }
  for (size_t i = 0; i < items.size(); ++i) {
    w.Set32(offsetAt[i], static_cast<uint32_t>(w.b.size()));
    write(w, i);
  }
  w.Set32(sizeAt, static_cast<uint32_t>(w.b.size()));
  return w.b;
}

// The streams SimServer's DA 1.0 personality writes: scalars and a BSTR, with and without time.
std::vector<uint8_t> Scalars(bool withTime) {
  return DataStream(withTime, 0, {{11, 0xC0, 0x01D96BD5A0B1C200}, {12, 0xC0, 2}, {13, 0x40, 3}},
                    [](Writer& w, size_t i) {
                      if (i == 0) w.Variant(kVtI4, 42);
                      if (i == 1) {
                        double d = 2.5;
                        uint64_t bits;
                        std::memcpy(&bits, &d, 8);
                        w.Variant(kVtR8, bits);
                      }
                      if (i == 2) {
                        w.Variant(kVtBstr, 0);
                        w.Text(u"Ramp", true);
                      }
                    });
}

std::vector<uint8_t> Arrays() {
  return DataStream(true, 9, {{21, 0xC0, 1}, {22, 0xC0, 2}}, [](Writer& w, size_t i) {
    if (i == 0) {
      w.Variant(kVtArray | kVtI2, 0);
      w.U16(1), w.U16(0), w.U32(2), w.U32(0), w.U32(0), w.U32(3), w.U32(static_cast<uint32_t>(-1));
      w.U16(7), w.U16(8), w.U16(9);
    } else {
      w.Variant(kVtArray | kVtBstr, 0);
      w.U16(1), w.U16(0), w.U32(8), w.U32(0), w.U32(0), w.U32(2), w.U32(1);
      w.Text(u"a", true);
      w.Text(u"bc", true);
    }
  });
}

std::vector<uint8_t> WriteComplete(uint32_t transaction, std::vector<std::pair<uint32_t, int32_t>> items) {
  Writer w;
  w.U32(static_cast<uint32_t>(items.size()));
  w.U32(0x5150);
  w.U32(transaction);
  w.U32(0);
  for (auto& [c, e] : items) {
    w.U32(c);
    w.U32(static_cast<uint32_t>(e));
  }
  return w.b;
}

// A stream copied into a buffer of exactly its bytes, so a read past the end is caught.
struct Exact {
  std::unique_ptr<uint8_t[]> p;
  size_t n;
  explicit Exact(const std::vector<uint8_t>& v) : p(new uint8_t[v.size() ? v.size() : 1]), n(v.size()) {
    if (n) std::memcpy(p.get(), v.data(), n);
  }
};

bool Read(const std::vector<uint8_t>& v, bool withTime, veltrane::stream::DataStream* out) {
  Exact e(v);
  return ReadData(e.p.get(), e.n, withTime, out);
}

TEST(OpcStream, ReadsTheScalarStreamsOfBothDataFormats) {
  for (bool withTime : {true, false}) {
    SCOPED_TRACE(withTime);
    veltrane::stream::DataStream s;
    ASSERT_TRUE(Read(Scalars(withTime), withTime, &s));
    EXPECT_EQ(0x5150u, s.groupHandle);
    EXPECT_EQ(0u, s.transactionId);
    EXPECT_EQ(0u, s.dropped);
    ASSERT_EQ(3u, s.items.size());
    EXPECT_EQ(11u, s.items[0].client);
    EXPECT_EQ(kVtI4, s.items[0].value.vt);
    EXPECT_EQ(42u, s.items[0].value.bits);
    EXPECT_EQ(withTime, s.items[0].hasTime);
    if (withTime) {
      EXPECT_EQ(0x01D96BD5A0B1C200u, s.items[0].time);
    }
    EXPECT_EQ(kVtR8, s.items[1].value.vt);
    EXPECT_EQ(kVtBstr, s.items[2].value.vt);
    EXPECT_EQ(u"Ramp", s.items[2].value.text);
    EXPECT_EQ(0x40, s.items[2].quality);
  }
}

TEST(OpcStream, ReadsOneDimensionalArraysWithTheirBounds) {
  veltrane::stream::DataStream s;
  ASSERT_TRUE(Read(Arrays(), true, &s));
  ASSERT_EQ(2u, s.items.size());
  const Value& shorts = s.items[0].value;
  EXPECT_EQ(kVtArray | kVtI2, shorts.vt);
  EXPECT_EQ(3u, shorts.count);
  EXPECT_EQ(-1, shorts.lowerBound);
  EXPECT_EQ((std::vector<uint8_t>{7, 0, 8, 0, 9, 0}), shorts.elements);
  const Value& strings = s.items[1].value;
  EXPECT_EQ(kVtArray | kVtBstr, strings.vt);
  EXPECT_EQ((std::vector<std::u16string>{u"a", u"bc"}), strings.strings);
  EXPECT_EQ(1, strings.lowerBound);
}

TEST(OpcStream, ReadsWriteCompleteStreamsAndTheirLength) {
  auto w = WriteComplete(77, {{1, 0}, {2, static_cast<int32_t>(0xC0040007)}});
  Exact e(w);
  WriteCompleteStream s;
  ASSERT_TRUE(ReadWriteComplete(e.p.get(), e.n, &s));
  EXPECT_EQ(77u, s.transactionId);
  ASSERT_EQ(2u, s.items.size());
  EXPECT_EQ(static_cast<int32_t>(0xC0040007), s.items[1].error);
  uint32_t id = 0;
  size_t length = 0;
  ASSERT_TRUE(PeekWriteComplete(e.p.get(), e.n, &id, &length));
  EXPECT_EQ(32u, length);
  // One record short: the whole stream is refused.
  Exact cut(std::vector<uint8_t>(w.begin(), w.end() - 1));
  EXPECT_FALSE(ReadWriteComplete(cut.p.get(), cut.n, &s));
  EXPECT_FALSE(PeekWriteComplete(cut.p.get(), cut.n, &id, &length));
}

TEST(OpcStream, ABadGroupHeaderDropsTheWholeStream) {
  auto good = Scalars(true);
  veltrane::stream::DataStream s;
  EXPECT_FALSE(Read({}, true, &s));
  EXPECT_FALSE(Read(std::vector<uint8_t>(good.begin(), good.begin() + 19), true, &s)) << "truncated header";
  auto small = good;
  small[0] = 10, small[1] = small[2] = small[3] = 0;  // dwSize below the header
  EXPECT_FALSE(Read(small, true, &s));
  auto many = good;
  many[4] = 0xFF, many[5] = 0xFF, many[6] = 0xFF, many[7] = 0x7F;  // more headers than bytes
  EXPECT_FALSE(Read(many, true, &s));
  EXPECT_TRUE(s.items.empty());
  // A dwSize smaller than the item headers need, in a large enough block.
  auto shortSize = good;
  shortSize[0] = 40, shortSize[1] = shortSize[2] = shortSize[3] = 0;
  EXPECT_FALSE(Read(shortSize, true, &s));
}

TEST(OpcStream, ItemsPointingOutsideTheStreamAreDroppedAlone) {
  // Offsets past the end, into the last bytes, and a dwSize that cuts the last value off.
  auto good = Scalars(false);
  veltrane::stream::DataStream s;
  auto past = good;
  const size_t firstOffset = kGroupHeaderSize + 4;
  past[firstOffset] = 0xF0, past[firstOffset + 1] = 0xFF, past[firstOffset + 2] = 0xFF, past[firstOffset + 3] = 0xFF;
  ASSERT_TRUE(Read(past, false, &s));
  EXPECT_EQ(1u, s.dropped);
  EXPECT_EQ(2u, s.items.size());
  EXPECT_EQ(12u, s.items[0].client);

  auto cutSize = good;
  const uint32_t size = static_cast<uint32_t>(good.size() - 3);
  std::memcpy(cutSize.data(), &size, 4);  // the host is little-endian like the stream
  ASSERT_TRUE(Read(cutSize, false, &s));
  EXPECT_EQ(1u, s.dropped) << "the BSTR ends past dwSize, though the block holds it";
  EXPECT_EQ(2u, s.items.size());

  // The block shorter than dwSize says (into the text, past its terminator): the block's size wins.
  ASSERT_TRUE(Read(std::vector<uint8_t>(good.begin(), good.end() - 3), false, &s));
  EXPECT_EQ(1u, s.dropped);
}

TEST(OpcStream, BadStringLengthsAndArrayBoundsDropTheirItem) {
  struct Case {
    const char* what;
    std::vector<uint8_t> stream;
  };
  auto bstr = [](uint32_t length) {
    return DataStream(true, 0, {{1, 0xC0, 0}}, [&](Writer& w, size_t) {
      w.Variant(kVtBstr, 0);
      w.U32(length);
      w.U16('x'), w.U16(0);
    });
  };
  auto array = [](uint16_t vt, uint16_t dims, uint32_t size, uint32_t count) {
    return DataStream(true, 0, {{1, 0xC0, 0}}, [&](Writer& w, size_t) {
      w.Variant(kVtArray | vt, 0);
      w.U16(dims), w.U16(0), w.U32(size), w.U32(0), w.U32(0), w.U32(count), w.U32(0);
      w.U32(0x00410002);  // a few bytes of elements
    });
  };
  const Case cases[] = {
      {"negative string length", bstr(0xFFFFFFFE)},
      {"huge string length", bstr(0x7FFFFFF0)},
      {"string length past the end", bstr(40)},
      {"odd string length", bstr(3)},
      {"array count past the end", array(kVtI4, 1, 4, 1000)},
      {"huge array count", array(kVtI4, 1, 4, 0xFFFFFFFF)},
      {"huge BSTR array count", array(kVtBstr, 1, 8, 0x40000000)},
      {"element size that is not the type's", array(kVtI4, 1, 2, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    veltrane::stream::DataStream s;
    ASSERT_TRUE(Read(c.stream, true, &s));
    EXPECT_TRUE(s.items.empty());
    EXPECT_EQ(1u, s.dropped);
  }
  // Two dimensions, or an element type a stream cannot carry: kept, as VT_EMPTY.
  for (auto stream : {array(kVtI4, 2, 4, 1), array(kVtI4, 0, 4, 1), array(9 /* VT_DISPATCH */, 1, 8, 1)}) {
    veltrane::stream::DataStream s;
    ASSERT_TRUE(Read(stream, true, &s));
    ASSERT_EQ(1u, s.items.size());
    EXPECT_EQ(kVtEmpty, s.items[0].value.vt);
  }
}

// Bounded random mutation of the well-formed streams: every read stays inside its exact-size
// buffer (the sanitizers would stop the test otherwise) and every item kept has a value that
// fits what was read.
TEST(OpcStream, RandomMutationsNeverReadOutsideTheStream) {
  const std::vector<std::vector<uint8_t>> seeds = {Scalars(true), Scalars(false), Arrays(),
                                                   WriteComplete(5, {{1, 0}, {2, 1}})};
  std::mt19937 random(20261208);
  size_t accepted = 0;
  for (int round = 0; round < 30000; ++round) {
    std::vector<uint8_t> s = seeds[round % seeds.size()];
    const int edits = 1 + static_cast<int>(random() % 6);
    for (int e = 0; e < edits && !s.empty(); ++e) {
      switch (random() % 4) {
        case 0: s[random() % s.size()] = static_cast<uint8_t>(random()); break;
        case 1: s.resize(random() % (s.size() + 1)); break;
        case 2: {
          // A 32-bit field set to an edge value.
          static const uint32_t edges[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF0, 20, 16};
          size_t at = random() % s.size();
          for (size_t i = 0; i < 4 && at + i < s.size(); ++i) s[at + i] = static_cast<uint8_t>(edges[random() % 8] >> (8 * i));
          break;
        }
        default: s.insert(s.begin() + random() % (s.size() + 1), static_cast<uint8_t>(random())); break;
      }
    }
    Exact e(s);
    veltrane::stream::DataStream d;
    for (bool withTime : {true, false}) {
      if (ReadData(e.p.get(), e.n, withTime, &d)) {
        ++accepted;
        for (const auto& item : d.items) {
          if (item.value.vt & kVtArray) {
            if ((item.value.vt & ~kVtArray) == kVtBstr)
              ASSERT_EQ(item.value.count, item.value.strings.size());
            else
              ASSERT_EQ(item.value.count * ScalarSize(item.value.vt & ~kVtArray), item.value.elements.size());
          }
          ASSERT_LE(item.value.text.size() * 2, e.n);
        }
      }
      uint32_t id;
      size_t length;
      if (PeekData(e.p.get(), e.n, &id, &length)) {
        ASSERT_LE(length, e.n);
      }
    }
    WriteCompleteStream w;
    if (ReadWriteComplete(e.p.get(), e.n, &w)) {
      ASSERT_LE(16 + 8 * w.items.size(), e.n);
    }
  }
  EXPECT_GT(accepted, 1000u) << "the mutations should leave many streams readable";
}

}  // namespace
