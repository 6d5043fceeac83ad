// Packet protocol of the administration link: layout, sequence rules, text descriptors,
// hostile input, stream decoding and the socket helpers; MD5 digests.
#include "toolbox/packet.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "toolbox/md5.h"
#include "toolbox/socket.h"

namespace {

std::string Hex(const std::string& bytes) {
  static const char k[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += k[c >> 4];
    out += k[c & 15];
  }
  return out;
}

std::string Text(const qmpTBuffer& b, int position) {
  std::string t;
  EXPECT_TRUE(qmpTSession::GetText(position, b, t)) << "descriptor at " << position;
  return t;
}

// A packet built by hand from raw header values and payload bytes.
std::string RawPacket(int code, uint16_t flags, uint16_t seq, const std::string& payload,
                      int announced = -1) {
  int len = announced < 0 ? static_cast<int>(payload.size()) : announced;
  std::string p(8, '\0');
  p[1] = static_cast<char>(code);
  p[2] = static_cast<char>(flags & 255);
  p[3] = static_cast<char>(flags >> 8);
  p[4] = static_cast<char>(seq & 255);
  p[5] = static_cast<char>(seq >> 8);
  p[6] = static_cast<char>(len & 255);
  p[7] = static_cast<char>((len >> 8) & 255);
  return p + payload;
}

TEST(PacketLayout, FixedPartSizeByCode) {
  const std::pair<int, int> table[] = {{0, 8},   {1, 16},  {2, 5},   {4, 0},   {5, 0},
                                       {8, 10},  {9, 10},  {12, 10}, {13, 10}, {16, 10},
                                       {17, 10}, {18, 10}, {24, 10}, {25, 10}, {26, 10},
                                       {32, 13}, {3, 0},   {33, 0},  {255, 0}};
  for (auto [code, size] : table) EXPECT_EQ(qmpFixedSize(code), size) << "code " << code;
}

TEST(PacketLayout, HeaderIsLittleEndianFieldByField) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession::New(*b, 0x1234, 0xA5C1, 32);
  EXPECT_EQ(Hex(b->Bytes()), "0020c1a534120d00" + std::string(26, '0'));
}

TEST(PacketLayout, NewZeroesTheBufferAndSetsTheFixedPart) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession s;
  s.Info(17, *b);
  qmpTSession::SetText(std::string(100, 'x'), 2, *b);
  qmpTSession::New(*b, 7, 0, 2);
  EXPECT_EQ(b->Length(), 5);
  EXPECT_EQ(b->Size(), 13);
  EXPECT_EQ(qmpTSession::Size(*b), 13);
  EXPECT_EQ(b->Bytes(), RawPacket(2, 0, 7, std::string(5, '\0')));
  // The old text must not survive beyond the new payload either.
  b->SetLength(120);
  EXPECT_EQ(b->Bytes().substr(13), std::string(115, '\0'));
}

TEST(PacketSession, InfoAndRequestAdvanceTheSequenceAndSetTheKind) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession s;
  EXPECT_EQ(s.flags, 0);
  EXPECT_EQ(s.sequence, 0);
  s.Info(16, *b);
  EXPECT_EQ(b->Code(), 16);
  EXPECT_EQ(b->Kind(), qmpInformation);
  EXPECT_EQ(b->Sequence(), 0);
  s.Request(0, *b);
  EXPECT_EQ(b->Kind(), qmpRequest);
  EXPECT_EQ(b->Flags(), 1);
  EXPECT_EQ(b->Sequence(), 1);
  EXPECT_EQ(s.sequence, 2);

  // The sender's own bits 0-2 never leak into the kind; its higher bits are carried.
  s.flags = 0xFFFF;
  s.Info(0, *b);
  EXPECT_EQ(b->Flags(), 0xFFF8);
  s.Request(0, *b);
  EXPECT_EQ(b->Flags(), 0xFFF9);
}

TEST(PacketSession, SequenceWrapsAfter65536Packets) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession s;
  for (int i = 0; i < 65536; ++i) {
    if (i % 2) {
      s.Info(0, *b);
    } else {
      s.Request(0, *b);
    }
    ASSERT_EQ(b->Sequence(), i);
  }
  EXPECT_EQ(s.sequence, 0);
  s.Info(0, *b);
  EXPECT_EQ(b->Sequence(), 0);
}

TEST(PacketSession, ResultKeepsCodeAndFlagsAndDoesNotAdvance) {
  auto req = std::make_unique<qmpTBuffer>();
  auto res = std::make_unique<qmpTBuffer>();
  qmpTSession client;
  client.flags = 0x0100;
  for (int i = 0; i < 5; ++i) client.Request(1, *req);
  EXPECT_EQ(req->Flags(), 0x0101);

  qmpTSession server;
  server.sequence = 42;
  server.Result(*req, *res);
  EXPECT_EQ(res->Code(), 1);
  EXPECT_EQ(res->Kind(), qmpResult);
  EXPECT_EQ(res->Flags(), 0x0102);
  EXPECT_EQ(res->Sequence(), 42);
  EXPECT_EQ(res->Length(), 16);
  EXPECT_EQ(server.sequence, 42);

  // Bits 0 and 2 of whatever the request carried are cleared, bit 1 set.
  req->Assign(RawPacket(0, 0x0007, 9, "12345678").data(), 16);
  server.Result(*req, *req);  // answering in place
  EXPECT_EQ(req->Code(), 0);
  EXPECT_EQ(req->Flags(), 0x0002);
  EXPECT_EQ(req->Sequence(), 42);
  EXPECT_EQ(req->Bytes(), RawPacket(0, 2, 42, std::string(8, '\0')));
}

TEST(PacketText, TwoTextsOfCode17) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession s;
  s.Info(17, *b);
  ASSERT_TRUE(b->PutWord(0, 13));
  EXPECT_TRUE(qmpTSession::SetText("ab", 2, *b));
  EXPECT_TRUE(qmpTSession::SetText("cde", 6, *b));
  EXPECT_EQ(b->Length(), 15);
  EXPECT_EQ(b->GetWord(2), 10);
  EXPECT_EQ(b->GetWord(4), 2);
  EXPECT_EQ(b->GetWord(6), 12);
  EXPECT_EQ(b->GetWord(8), 3);
  EXPECT_EQ(Text(*b, 2), "ab");
  EXPECT_EQ(Text(*b, 6), "cde");
  std::string payload = std::string("\x0d\x00\x0a\x00\x02\x00\x0c\x00\x03\x00", 10) + "abcde";
  EXPECT_EQ(b->Bytes(), RawPacket(17, 0, 0, payload));
}

TEST(PacketText, RoundTripOfEveryMessageShape) {
  auto b = std::make_unique<qmpTBuffer>();
  auto back = std::make_unique<qmpTBuffer>();
  qmpTSession s;

  s.Request(1, *b);
  const char* id[] = {"Quillmar/32", "0.9.5", "Build ID: Jan 02 2003 20:00 (Beta)", "qms."};
  for (int i = 0; i < 4; ++i) qmpTSession::SetText(id[i], 4 * i, *b);
  s.Request(2, *back);  // interleaved use of another buffer changes nothing
  ASSERT_TRUE(back->Assign(b->Bytes().data(), b->Size()));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Text(*back, 4 * i), id[i]);

  s.Request(32, *b);
  b->PutByte(0, 0);
  b->PutLong(1, 0x01020304);
  b->PutLong(5, 731000);
  std::string binary("re\0st\xff", 6);  // texts are bytes, not C strings
  qmpTSession::SetText(binary, 9, *b);
  ASSERT_TRUE(back->Assign(b->Bytes().data(), b->Size()));
  EXPECT_EQ(back->GetLong(1), 0x01020304u);
  EXPECT_EQ(back->GetLong(5), 731000u);
  EXPECT_EQ(Text(*back, 9), binary);
  EXPECT_EQ(back->Length(), 13 + 6);

  s.Info(16, *b);
  b->PutWord(0, 13);
  qmpTSession::SetText("qms.uptime", 2, *b);
  b->PutLong(6, 0xFFFFFFFF);
  ASSERT_TRUE(back->Assign(b->Bytes().data(), b->Size()));
  EXPECT_EQ(back->GetLong(6), 0xFFFFFFFFu);
  EXPECT_EQ(Text(*back, 2), "qms.uptime");

  s.Info(2, *b);
  qmpTSession::SetText("", 1, *b);  // an empty text is a valid text
  EXPECT_EQ(b->Length(), 5);
  EXPECT_EQ(Text(*b, 1), "");
}

TEST(PacketText, TextsThatWouldPassTheLimitAreCut) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession s;
  s.Info(17, *b);
  EXPECT_TRUE(qmpTSession::SetText(std::string(qmpMaxPayload - 10, 'a'), 2, *b));
  EXPECT_EQ(b->Length(), qmpMaxPayload);
  EXPECT_FALSE(qmpTSession::SetText("more", 6, *b));
  EXPECT_EQ(b->Length(), qmpMaxPayload);
  EXPECT_EQ(Text(*b, 6), "");
  EXPECT_EQ(b->Size(), qmpBufferSize);

  s.Info(17, *b);
  EXPECT_FALSE(qmpTSession::SetText(std::string(70000, 'z'), 2, *b));
  EXPECT_EQ(b->Length(), qmpMaxPayload);
  EXPECT_EQ(Text(*b, 2), std::string(qmpMaxPayload - 10, 'z'));
}

TEST(PacketText, DescriptorSlotsOutsideTheFixedPartAreRefused) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession s;
  s.Info(2, *b);
  EXPECT_FALSE(qmpTSession::SetText("x", 2, *b));  // 2 + 4 > 5
  EXPECT_FALSE(qmpTSession::SetText("x", -1, *b));
  EXPECT_EQ(b->Length(), 5);
  s.Info(4, *b);  // no fixed part, no descriptors
  EXPECT_FALSE(qmpTSession::SetText("x", 0, *b));
  std::string t = "unchanged";
  EXPECT_FALSE(qmpTSession::GetText(0, *b, t));
  EXPECT_EQ(t, "");
}

TEST(PacketText, HostileDescriptorsAreReportedNotFollowed) {
  auto b = std::make_unique<qmpTBuffer>();
  auto desc = [](uint16_t off, uint16_t len) {
    std::string d(4, '\0');
    d[0] = static_cast<char>(off & 255);
    d[1] = static_cast<char>(off >> 8);
    d[2] = static_cast<char>(len & 255);
    d[3] = static_cast<char>(len >> 8);
    return d;
  };
  struct Case {
    const char* what;
    uint16_t off, len;
    bool ok;
  } cases[] = {
      {"inside the text area", 10, 5, true},
      {"ends exactly at the payload end", 12, 3, true},
      {"one byte past the payload", 12, 4, false},
      {"points into the fixed part", 2, 4, false},
      {"offset beyond the payload", 40000, 1, false},
      {"huge length", 10, 65535, false},
      {"offset plus length wraps 16 bits", 65535, 2, false},
  };
  for (const auto& c : cases) {
    std::string payload = std::string("\x0d\x00", 2) + desc(c.off, c.len) + std::string(4, '\0') + "hello";
    ASSERT_TRUE(b->Assign(RawPacket(17, 0, 0, payload).data(), 8 + payload.size()));
    std::string t;
    EXPECT_EQ(qmpTSession::GetText(2, *b, t), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(t, "") << c.what;
    }
  }
  // A packet shorter than its code's fixed part: the descriptor itself is missing.
  std::string shortPayload = "\x0d";
  ASSERT_TRUE(b->Assign(RawPacket(17, 0, 0, shortPayload).data(), 9));
  std::string t;
  EXPECT_FALSE(qmpTSession::GetText(2, *b, t));
  EXPECT_EQ(b->GetWord(0), 0);  // half a field reads as nothing
  EXPECT_EQ(b->GetByte(0), 13);
  EXPECT_EQ(b->GetLong(6), 0u);
}

TEST(PacketFields, AccessOutsideThePayloadIsRefused) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession s;
  s.Request(0, *b);  // 8-byte payload
  EXPECT_TRUE(b->PutLong(4, 0xAABBCCDD));
  EXPECT_FALSE(b->PutLong(5, 1));
  EXPECT_FALSE(b->PutWord(7, 1));
  EXPECT_FALSE(b->PutByte(8, 1));
  EXPECT_FALSE(b->PutByte(-1, 1));
  EXPECT_FALSE(b->PutBytes(0, "123456789", 9));
  EXPECT_FALSE(b->PutBytes(2, "x", -1));
  EXPECT_EQ(b->GetLong(4), 0xAABBCCDDu);
  EXPECT_EQ(b->GetByte(4), 0xDD);
  EXPECT_EQ(b->GetWord(6), 0xAABB);
  EXPECT_EQ(b->GetLong(5), 0u);
  EXPECT_EQ(b->GetByte(100000), 0);
  EXPECT_EQ(b->GetByte(-5), 0);
  char out[16] = {};
  EXPECT_FALSE(b->GetBytes(1, out, 8));
  EXPECT_TRUE(b->GetBytes(0, out, 8));
}

TEST(PacketDecode, StreamIsCutIntoWholePackets) {
  auto b = std::make_unique<qmpTBuffer>();
  qmpTSession s;
  std::string stream;
  for (int i = 0; i < 3; ++i) {
    s.Info(17, *b);
    qmpTSession::SetText("line " + std::to_string(i), 6, *b);
    stream += b->Bytes();
  }
  size_t used = 0;
  for (int i = 0; i < 3; ++i) {
    // Every prefix of the remaining stream shorter than the packet asks for more.
    for (size_t k = 0; k < 8 + 10 + 6; ++k) {
      ASSERT_EQ(qmpParse(stream.data(), k, *b, &used), qmpParseNeedMore);
      ASSERT_EQ(used, 0u);
    }
    ASSERT_EQ(qmpParse(stream.data(), stream.size(), *b, &used), qmpParseComplete);
    EXPECT_EQ(used, 24u);
    EXPECT_EQ(b->Sequence(), i);
    EXPECT_EQ(Text(*b, 6), "line " + std::to_string(i));
    stream.erase(0, used);
  }
  EXPECT_TRUE(stream.empty());
}

TEST(PacketDecode, LengthLimitIsTheBufferLessTheHeader) {
  auto b = std::make_unique<qmpTBuffer>();
  size_t used = 0;
  std::string limit = RawPacket(17, 0, 0, std::string(qmpMaxPayload, 'q'));
  EXPECT_EQ(qmpParse(limit.data(), limit.size(), *b, &used), qmpParseComplete);
  EXPECT_EQ(b->Size(), qmpBufferSize);
  for (int announced : {qmpMaxPayload + 1, 65535}) {
    std::string over = RawPacket(17, 0, 0, "", announced);
    EXPECT_EQ(qmpParse(over.data(), over.size(), *b, &used), qmpParseBroken) << announced;
    EXPECT_FALSE(b->Assign((over + std::string(announced, 'o')).data(), 8 + announced));
  }
  // Assign takes exactly one packet.
  std::string two = RawPacket(4, 0, 0, "") + RawPacket(4, 0, 1, "");
  EXPECT_FALSE(b->Assign(two.data(), two.size()));
  EXPECT_FALSE(b->Assign(two.data(), 7));
  EXPECT_TRUE(b->Assign(two.data(), 8));
  EXPECT_EQ(b->Length(), 0);
}

// Random bytes, random lengths and random descriptors: the decoder and every accessor must
// stay inside the buffer (the sanitizer build checks that) and agree with each other.
TEST(PacketDecode, RandomBytesNeverEscapeTheBuffer) {
  std::mt19937 rng(20030102);
  auto b = std::make_unique<qmpTBuffer>();
  std::vector<char> data;
  for (int round = 0; round < 3000; ++round) {
    size_t n = rng() % 200;
    if (round % 50 == 0) n = 8 + (rng() % qmpBufferSize);
    data.resize(n);
    for (auto& c : data) c = static_cast<char>(rng());
    if (n >= 8 && rng() % 2) {  // plausible length so that many packets complete
      uint16_t len = static_cast<uint16_t>(rng() % (n - 7));
      data[6] = static_cast<char>(len & 255);
      data[7] = static_cast<char>(len >> 8);
    }
    size_t used = 0;
    int r = qmpParse(data.data(), data.size(), *b, &used);
    if (r != qmpParseComplete) {
      EXPECT_EQ(used, 0u);
      continue;
    }
    ASSERT_LE(used, data.size());
    ASSERT_EQ(static_cast<int>(used), b->Size());
    ASSERT_LE(b->Length(), qmpMaxPayload);
    for (int pos = -2; pos < 20; ++pos) {
      std::string t;
      if (qmpTSession::GetText(pos, *b, t)) {
        int off = b->GetWord(pos);
        ASSERT_TRUE(t.empty() || off + static_cast<int>(t.size()) <= b->Length());
        ASSERT_EQ(t, std::string(data.data() + 8 + (t.empty() ? 0 : off), t.size()));
      }
      b->GetLong(pos);
      b->GetWord(b->Length() - pos);
    }
    qmpTSession s;
    auto res = std::make_unique<qmpTBuffer>();
    s.Result(*b, *res);
    ASSERT_EQ(res->Code(), b->Code());
    ASSERT_EQ(res->Kind(), qmpResult);
  }
}

// --- Socket helpers --------------------------------------------------------------------

class PacketLink : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a = std::make_unique<jvbTSocket>(fds[0]);
    peer = fds[1];
  }
  void TearDown() override {
    if (peer >= 0) close(peer);
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::unique_ptr<jvbTSocket> a;
  int peer = -1;
  std::unique_ptr<qmpTBuffer> b = std::make_unique<qmpTBuffer>();
};

TEST_F(PacketLink, SendAndReceiveWholePackets) {
  jvbTSocket other(peer);
  peer = -1;
  qmpTSession s;
  s.Info(17, *b);
  b->PutWord(0, 13);
  qmpTSession::SetText("qms.console.output", 2, *b);
  qmpTSession::SetText(std::string(40000, 'L'), 6, *b);
  std::string sent = b->Bytes();
  // Larger than a socket buffer: the sender must loop while the receiver reads.
  std::thread sender([&] { EXPECT_TRUE(qmpSend(other, *b)); });
  auto in = std::make_unique<qmpTBuffer>();
  ASSERT_EQ(qmpReceive(*a, *in, 10000), qmpReceived);
  sender.join();
  EXPECT_EQ(in->Bytes(), sent);
  EXPECT_EQ(Text(*in, 6).size(), 40000u);
}

TEST_F(PacketLink, PartialReadsAreJoined) {
  std::string p = RawPacket(32, 1, 3, std::string(13, '\0') + "restart");
  p[8 + 9] = 13;
  p[8 + 11] = 7;
  std::thread writer([&] {
    for (char c : p) {
      Write(std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  ASSERT_EQ(qmpReceive(*a, *b, 10000), qmpReceived);
  writer.join();
  EXPECT_EQ(Text(*b, 9), "restart");
  EXPECT_TRUE(b->Is(qmpCommand, qmpRequest));
}

TEST_F(PacketLink, NothingWaitingLeavesTheStreamIntact) {
  EXPECT_EQ(qmpReceive(*a, *b, 20), qmpNothing);
  Write(RawPacket(0, 1, 0, "12345678"));
  ASSERT_EQ(qmpReceive(*a, *b, 10000), qmpReceived);
  EXPECT_EQ(b->GetByte(7), '8');
}

TEST_F(PacketLink, OversizedHeaderBreaksTheLink) {
  Write(RawPacket(17, 0, 0, "", qmpMaxPayload + 1));
  EXPECT_EQ(qmpReceive(*a, *b, 10000), qmpBroken);
}

TEST_F(PacketLink, PeerClosingMidPacketBreaksTheLink) {
  Write(RawPacket(17, 0, 0, "", 20).substr(0, 5));
  close(peer);
  peer = -1;
  EXPECT_EQ(qmpReceive(*a, *b, 10000), qmpBroken);
}

TEST_F(PacketLink, PeerClosingBetweenPacketsBreaksTheLink) {
  close(peer);
  peer = -1;
  EXPECT_EQ(qmpReceive(*a, *b, 10000), qmpBroken);
}

TEST_F(PacketLink, StalledPacketBreaksTheLink) {
  Write(RawPacket(17, 0, 0, "", 20).substr(0, 12));
  EXPECT_EQ(qmpReceive(*a, *b, 100), qmpBroken);
}

TEST_F(PacketLink, StopFlagEndsAWait) {
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
  });
  EXPECT_EQ(qmpReceive(*a, *b, 600000, &stop), qmpBroken);
  stopper.join();
}

TEST_F(PacketLink, SendToAClosedPeerFails) {
  close(peer);
  peer = -1;
  qmpTSession s;
  s.Info(2, *b);
  EXPECT_FALSE(qmpSend(*a, *b));
}

// --- MD5 ---------------------------------------------------------------------------------

TEST(MD5, Rfc1321TestSuite) {
  EXPECT_EQ(qmsMD5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(qmsMD5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(qmsMD5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(qmsMD5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(qmsMD5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(qmsMD5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234"
                      "567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  // APOP example of RFC 1939: challenge and password, digested as one text.
  EXPECT_EQ(qmsMD5Hex("<1896.697170952@dbc.mtview.ca.us>tanstaaf"),
            "c4c9334bac560ecc979e58001b3e22fb");
  EXPECT_EQ(qmsMD5Hex(std::string("\0\xff", 2)).size(), 32u);
}

}  // namespace
