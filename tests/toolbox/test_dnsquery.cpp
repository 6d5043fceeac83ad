// jvbTDnsQuery: exchanger order, owner-name lookups, reading answers of any shape, the
// QMS_DNS_SERVER setting, and live queries against a dnsmasq started on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "toolbox/dnsquery.h"
#include "toolbox/platform.h"

namespace {

using Bytes = std::vector<unsigned char>;

jvbTDnsResult Rec(uint32_t type, const std::string& owner, const std::string& host = {},
                  uint16_t pref = 0) {
  jvbTDnsResult r;
  r.Name = owner;
  r.RecordType = type;
  r.Host = host;
  r.Preference = pref;
  return r;
}

jvbTDnsResult ARec(const std::string& owner, unsigned char a, unsigned char b, unsigned char c,
                   unsigned char d) {
  jvbTDnsResult r = Rec(jvbTDnsQuery::kTypeA, owner);
  r.Address[0] = a;
  r.Address[1] = b;
  r.Address[2] = c;
  r.Address[3] = d;
  return r;
}

std::vector<std::string> AllMX(const jvbTDnsQuery& q) {
  std::vector<std::string> out;
  std::string host;
  for (int i = 0; q.GetMX(i, host); ++i) out.push_back(host);
  return out;
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// ---- Exchanger order and owner lookups on hand-built answers ------------------------------

TEST(DnsQueryLists, ExchangersComeInPreferenceOrder) {
  jvbTDnsQuery q;
  q.SetResults({Rec(15, "example.test", "mx1.example.test", 10),
                Rec(15, "example.test", "mx2.example.test", 5)});
  std::string host = "unchanged";
  EXPECT_FALSE(q.GetMX(2, host));  // index equal to the count
  EXPECT_FALSE(q.GetMX(-1, host));
  EXPECT_EQ(host, "unchanged");
  EXPECT_EQ(AllMX(q), (std::vector<std::string>{"mx2.example.test", "mx1.example.test"}));

  // Fixed-width hex keeps numeric order across digit counts (9/10, 0xff/0x100, 0xfff/0x1000).
  q.SetResults({Rec(15, "d", "ten", 10), Rec(15, "d", "nine", 9), Rec(15, "d", "x256", 256),
                Rec(15, "d", "x255", 255), Rec(15, "d", "x4096", 4096), Rec(15, "d", "x4095", 4095),
                Rec(15, "d", "max", 65535), Rec(15, "d", "zero", 0)});
  EXPECT_EQ(AllMX(q), (std::vector<std::string>{"zero", "nine", "ten", "x255", "x256", "x4095",
                                                "x4096", "max"}));

  // Equal preferences: host names without regard to case (raw bytes would put "B" first),
  // spellings differing only in case in byte order.
  q.SetResults({Rec(15, "d", "b.test", 7), Rec(15, "d", "a.test", 7), Rec(15, "d", "B.Test", 7),
                Rec(15, "d", "A.test", 7), Rec(15, "d", "c.test", 6)});
  EXPECT_EQ(AllMX(q), (std::vector<std::string>{"c.test", "A.test", "a.test", "B.Test", "b.test"}));

  // Only MX records count: AFSDB and RT carry a preference too, and A/CNAME records are in
  // the same list.
  q.SetResults({Rec(18, "d", "afs.test", 0), Rec(21, "d", "rt.test", 1), ARec("d", 1, 2, 3, 4),
                Rec(5, "d", "cname.test"), Rec(15, "d", "only.test", 20)});
  EXPECT_EQ(AllMX(q), (std::vector<std::string>{"only.test"}));

  q.SetResults({});
  EXPECT_FALSE(q.GetMX(0, host));
}

TEST(DnsQueryLists, AddressAndAliasLookupsByOwnerName) {
  jvbTDnsQuery q;
  // An answer for an alias: the A record belongs to the canonical name.
  q.SetResults({Rec(5, "alias.example.test", "mx1.example.test"),
                ARec("mx1.example.test", 127, 0, 0, 11), ARec("mx1.example.test", 10, 9, 9, 9)});
  uint32_t addr = 0xDEADBEEF;
  EXPECT_FALSE(q.FindA("alias.example.test", addr));
  EXPECT_EQ(addr, 0xDEADBEEFu);
  std::string target;
  ASSERT_TRUE(q.FindCNAME("alias.example.test", target));
  EXPECT_EQ(target, "mx1.example.test");
  ASSERT_TRUE(q.FindA(target, addr));
  EXPECT_EQ(addr, 0x7F00000Bu);  // the first A record, converted to host order
  unsigned char octets[4] = {0, 0, 0, 0};
  ASSERT_TRUE(q.FindA(target, octets));
  EXPECT_EQ(octets[0], 127);
  EXPECT_EQ(octets[3], 11);

  // Owner names compare without regard to ASCII case, in both directions.
  EXPECT_TRUE(q.FindA("MX1.Example.TEST", addr));
  EXPECT_TRUE(q.FindCNAME("Alias.EXAMPLE.test", target));
  q.SetResults({ARec("Mail.Example.COM", 192, 0, 2, 1)});
  ASSERT_TRUE(q.FindA("mail.example.com", addr));
  EXPECT_EQ(addr, 0xC0000201u);

  // A name is not a prefix, and the record type must match.
  target = "unchanged";
  EXPECT_FALSE(q.FindA("mail.example.co", addr));
  EXPECT_FALSE(q.FindA("mail.example.com.x", addr));
  EXPECT_FALSE(q.FindCNAME("mail.example.com", target));
  EXPECT_EQ(target, "unchanged");
  q.SetResults({Rec(15, "mx.test", "other.test", 1), Rec(2, "mx.test", "ns.test")});
  EXPECT_FALSE(q.FindCNAME("mx.test", target));
  EXPECT_FALSE(q.FindA("mx.test", addr));
}

// ---- Reading answers -------------------------------------------------------------------

// Builds DNS messages byte by byte, including deliberately broken ones.
class Message {
 public:
  // Header with the given counts, one question for qname (at offset 12).
  Message(const std::string& qname, uint16_t qtype, uint16_t an, uint16_t ns, uint16_t ar) {
    U16(0x1234);
    U16(0x8180);
    U16(1);
    U16(an);
    U16(ns);
    U16(ar);
    Name(qname);
    U16(qtype);
    U16(1);
  }
  void U16(unsigned v) {
    b_.push_back(static_cast<unsigned char>(v >> 8));
    b_.push_back(static_cast<unsigned char>(v));
  }
  void Raw(const Bytes& bytes) { b_.insert(b_.end(), bytes.begin(), bytes.end()); }
  void Name(const std::string& dotted) { Raw(Encode(dotted)); }
  static Bytes Encode(const std::string& dotted, bool terminate = true) {
    Bytes out;
    size_t start = 0;
    while (start < dotted.size()) {
      size_t dot = dotted.find('.', start);
      if (dot == std::string::npos) dot = dotted.size();
      out.push_back(static_cast<unsigned char>(dot - start));
      out.insert(out.end(), dotted.begin() + static_cast<long>(start),
                 dotted.begin() + static_cast<long>(dot));
      start = dot + 1;
    }
    if (terminate) out.push_back(0);
    return out;
  }
  static Bytes Pointer(size_t offset) {
    return {static_cast<unsigned char>(0xC0 | (offset >> 8)), static_cast<unsigned char>(offset)};
  }
  // One resource record; rdlength defaults to the size of rdata.
  void Record(const Bytes& owner, uint16_t type, const Bytes& rdata, int rdlength = -1) {
    Raw(owner);
    U16(type);
    U16(1);
    U16(0);
    U16(300);
    U16(rdlength < 0 ? static_cast<unsigned>(rdata.size()) : static_cast<unsigned>(rdlength));
    Raw(rdata);
  }
  size_t size() const { return b_.size(); }
  const Bytes& bytes() const { return b_; }

 private:
  Bytes b_;
};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(DnsQueryParse, EveryKindFromAllThreeSectionsInOrder) {
  const Bytes q = Message::Pointer(12);  // the question name, "example.test"
  Message m("example.test", 15, 4, 1, 5);
  m.Record(q, 15, Cat({0, 10, 3, 'm', 'x', '1'}, q));
  m.Record(Message::Encode("Example.TEST"), 15, Cat({0, 5}, Message::Encode("MX2.example.test")));
  m.Record(Message::Encode("alias.example.test"), 5, Cat(Message::Encode("mx1", false), q));
  m.Record(q, 16, {5, 'h', 'e', 'l', 'l', 'o'});  // TXT: kept, without data
  m.Record(q, 2, Message::Encode("ns.example.test"));
  m.Record(Cat(Message::Encode("mx1", false), q), 1, {127, 0, 0, 11});
  m.Record(q, 18, Cat({0, 1}, Message::Encode("afs.example.test")));
  m.Record(q, 21, Cat({0, 2}, Message::Encode("rt.example.test")));
  m.Record(Message::Encode("11.0.0.127.in-addr.arpa"), 12, Cat(Message::Encode("mx1", false), q));
  m.Record(Message::Encode(""), 7, Message::Encode("mb.example.test"));  // root owner

  std::vector<jvbTDnsResult> out;
  ASSERT_TRUE(jvbTDnsQuery::ParseMessage(m.bytes().data(), m.size(), out));
  ASSERT_EQ(out.size(), 10u);
  const struct {
    const char* name;
    uint32_t type;
    const char* host;
    uint16_t pref;
  } want[] = {
      {"example.test", 15, "mx1.example.test", 10},
      {"Example.TEST", 15, "MX2.example.test", 5},
      {"alias.example.test", 5, "mx1.example.test", 0},
      {"example.test", 16, "", 0},
      {"example.test", 2, "ns.example.test", 0},
      {"mx1.example.test", 1, "", 0},
      {"example.test", 18, "afs.example.test", 1},
      {"example.test", 21, "rt.example.test", 2},
      {"11.0.0.127.in-addr.arpa", 12, "mx1.example.test", 0},
      {".", 7, "mb.example.test", 0},
  };
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out[i].Name, want[i].name);
    EXPECT_EQ(out[i].RecordType, want[i].type);
    EXPECT_EQ(out[i].Host, want[i].host);
    EXPECT_EQ(out[i].Preference, want[i].pref);
  }
  EXPECT_EQ(Bytes(out[5].Address, out[5].Address + 4), (Bytes{127, 0, 0, 11}));

  jvbTDnsQuery dq;
  dq.SetResults(out);
  EXPECT_EQ(AllMX(dq), (std::vector<std::string>{"MX2.example.test", "mx1.example.test"}));
}

TEST(DnsQueryParse, BrokenRecordsAreLeftOutAndNothingIsReadOutsideTheMessage) {
  const Bytes q = Message::Pointer(12);
  Message m("example.test", 1, 7, 0, 1);
  m.Record(q, 1, {10, 0, 0, 1});
  m.Record(q, 1, {10, 0, 0}, 3);              // A of 3 bytes
  m.Record(q, 15, {0, 10});                   // MX without a name
  size_t self = m.size() + 2 + 10;            // where this record's data starts
  m.Record(q, 5, Message::Pointer(self));     // CNAME pointing at itself
  m.Record(q, 12, Message::Pointer(0x3FFF));  // pointer past the end of the message
  // MX whose name continues past its data into the next record (that record's root owner
  // name supplies the terminating zero).
  m.Record(q, 15, {0, 10, 3, 'a', 'b', 'c'});
  m.Record(Message::Encode(""), 1, {10, 0, 0, 2});
  m.Record(q, 1, {10, 0, 0, 3});  // additional section
  std::vector<jvbTDnsResult> out;
  ASSERT_TRUE(jvbTDnsQuery::ParseMessage(m.bytes().data(), m.size(), out));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].Address[3], 1);
  EXPECT_EQ(out[1].Name, ".");
  EXPECT_EQ(out[1].Address[3], 2);
  EXPECT_EQ(out[2].Address[3], 3);

  // An owner name that loops ends its section; the next section is still read.
  Message l("example.test", 1, 3, 0, 1);
  l.Record(q, 1, {10, 0, 0, 1});
  l.Record(Message::Pointer(l.size()), 1, {10, 0, 0, 2});
  l.Record(q, 1, {10, 0, 0, 3});
  l.Record(q, 1, {10, 0, 0, 4});
  out.clear();
  ASSERT_TRUE(jvbTDnsQuery::ParseMessage(l.bytes().data(), l.size(), out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Address[3], 1);
  EXPECT_EQ(out[1].Address[3], 4);

  // Counts promising more records than the message holds, a short header, no message.
  Message c("example.test", 1, 2, 0, 0);
  c.Record(q, 1, {10, 0, 0, 1});
  out.clear();
  EXPECT_FALSE(jvbTDnsQuery::ParseMessage(c.bytes().data(), c.size(), out));
  EXPECT_FALSE(jvbTDnsQuery::ParseMessage(c.bytes().data(), 11, out));
  EXPECT_FALSE(jvbTDnsQuery::ParseMessage(nullptr, 100, out));
  EXPECT_TRUE(out.empty());
}

TEST(DnsQueryParse, LongNamesAreCutTo255Characters) {
  // Four labels of 63 characters make a 255-byte wire name; dots inside labels are shown
  // escaped, which makes the text form far longer.
  std::string label(63, 'a');
  std::string dotted = label + "." + label + "." + label + "." + std::string(61, 'b');
  Bytes odd = {63};
  odd.insert(odd.end(), 63, '.');
  odd = Cat(Cat(Cat(odd, odd), odd), Bytes{61});
  odd.insert(odd.end(), 61, '.');
  odd.push_back(0);
  Message m("example.test", 5, 2, 0, 0);
  m.Record(Message::Encode(dotted), 5, odd);
  m.Record(odd, 15, Cat({0xFF, 0xFF}, Message::Encode(dotted)));
  std::vector<jvbTDnsResult> out;
  ASSERT_TRUE(jvbTDnsQuery::ParseMessage(m.bytes().data(), m.size(), out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Name, dotted.substr(0, 255));
  std::string escaped;  // one label of 63 dots
  for (int i = 0; i < 63; ++i) escaped += "\\.";
  EXPECT_EQ(out[0].Host, (escaped + "." + escaped + "." + escaped).substr(0, 255));
  EXPECT_EQ(out[1].Name.size(), 255u);
  EXPECT_EQ(out[1].Host, dotted.substr(0, 255));
  EXPECT_EQ(out[1].Preference, 0xFFFF);
}

TEST(DnsQueryParse, DamagedAndTruncatedMessagesNeverCrash) {
  const Bytes q = Message::Pointer(12);
  Message m("example.test", 15, 3, 1, 2);
  m.Record(q, 15, Cat({0, 10, 3, 'm', 'x', '1'}, q));
  m.Record(q, 15, Cat({0, 20, 3, 'm', 'x', '2'}, q));
  m.Record(Message::Encode("alias.example.test"), 5, Cat(Message::Encode("mx1", false), q));
  m.Record(q, 2, Message::Encode("ns.example.test"));
  m.Record(Cat(Message::Encode("mx1", false), q), 1, {127, 0, 0, 11});
  m.Record(q, 18, Cat({0, 1}, q));
  const Bytes good = m.bytes();

  std::vector<jvbTDnsResult> out;
  for (size_t len = 0; len <= good.size(); ++len) {
    // An exact-size heap copy, so reading one byte past its end is caught by ASan.
    Bytes cut(good.begin(), good.begin() + static_cast<long>(len));
    out.clear();
    bool ok = jvbTDnsQuery::ParseMessage(cut.data(), cut.size(), out);
    EXPECT_EQ(ok, len == good.size()) << len;  // the counts no longer fit a cut message
  }
  EXPECT_EQ(out.size(), 6u);

  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    Bytes b = good;
    int flips = 1 + static_cast<int>(rng() % 6);
    for (int f = 0; f < flips; ++f) b[rng() % b.size()] = static_cast<unsigned char>(rng());
    if (rng() % 4 == 0) b.resize(rng() % b.size());
    out.clear();
    jvbTDnsQuery::ParseMessage(b.data(), b.size(), out);
    for (const auto& r : out) {
      ASSERT_LE(r.Name.size(), 255u);
      ASSERT_LE(r.Host.size(), 255u);
    }
  }
}

// ---- The server setting ----------------------------------------------------------------

TEST(DnsQueryServer, SettingIsReadStrictly) {
  uint32_t addr = 0;
  uint16_t port = 0;
  ASSERT_TRUE(jvbTDnsQuery::ParseServer("127.0.0.1", addr, port));
  EXPECT_EQ(addr, htonl(0x7F000001));
  EXPECT_EQ(port, 53);
  ASSERT_TRUE(jvbTDnsQuery::ParseServer("127.0.0.2:65535", addr, port));
  EXPECT_EQ(addr, htonl(0x7F000002));
  EXPECT_EQ(port, 65535);
  for (const char* bad : {"", "localhost", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                          "127.0.0.1:053x", "127.0.0.1:+53", " 127.0.0.1", "127.0.0.1 :53", "::1",
                          "[::1]:53", "127.1:53", "127.0.0.1:5:5", "127.0.0.1:999999"}) {
    EXPECT_FALSE(jvbTDnsQuery::ParseServer(bad, addr, port)) << bad;
  }
}

TEST(DnsQueryServer, UnreadableSettingFailsInsteadOfAskingTheSystemServers) {
  ScopedEnv env(kDnsServerVariable, "dns.example.test:53");
  jvbTDnsQuery q;
  EXPECT_EQ(q.ServerCount(), 0);
  EXPECT_EQ(q.ServerText(), "");
  q.SetResults({ARec("old.test", 1, 1, 1, 1)});
  EXPECT_FALSE(q.Query(jvbTDnsQuery::kTypeA, "example.test"));
  EXPECT_TRUE(q.Results().empty());  // earlier results are replaced even on failure
  EXPECT_EQ(q.Name(), "example.test");
  EXPECT_EQ(q.QueryType(), 1);
  // The name is kept cut to 255 characters; a NUL inside would ask for a different name.
  EXPECT_FALSE(q.Query(jvbTDnsQuery::kTypeMX, std::string(300, 'n')));
  EXPECT_EQ(q.Name(), std::string(255, 'n'));
  EXPECT_EQ(q.QueryType(), 15);
  EXPECT_FALSE(q.Query(jvbTDnsQuery::kTypeA, std::string("a\0b", 3)));
  EXPECT_FALSE(q.Query(70000, "example.test"));
}

// ---- Live queries against dnsmasq on loopback -------------------------------------------

constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";

// A UDP+TCP port on 127.0.0.1 that is free at the moment; 0 when none was found.
uint16_t FreeLoopbackPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int t = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t sl = sizeof sa;
    uint16_t port = 0;
    if (u >= 0 && t >= 0 && bind(u, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        getsockname(u, reinterpret_cast<sockaddr*>(&sa), &sl) == 0 &&
        bind(t, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
      port = ntohs(sa.sin_port);
    if (u >= 0) close(u);
    if (t >= 0) close(t);
    if (port >= 1024) return port;
  }
  return 0;
}

bool TcpAccepts(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(s);
  return ok;
}

// dnsmasq answering only from its command line, on 127.0.0.1 and a free port; stopped by
// its process id.
class Dnsmasq {
 public:
  ~Dnsmasq() { Stop(); }
  bool Start(const std::vector<std::string>& records, std::string& error) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      uint16_t port = FreeLoopbackPort();
      if (port == 0) {
        error = "no free loopback port";
        return false;
      }
      std::vector<std::string> args = {"--no-daemon",
                                       "--no-resolv",
                                       "--no-hosts",
                                       "--conf-file=/dev/null",
                                       "--pid-file=",
                                       "--port=" + std::to_string(port),
                                       "--listen-address=127.0.0.1",
                                       "--bind-interfaces"};
      args.insert(args.end(), records.begin(), records.end());
      int err = 0;
      pid_ = jvb::SpawnProcess(kDnsmasq, args, true, &err);
      if (pid_ < 0) {
        error = "cannot start dnsmasq (error " + std::to_string(err) + ")";
        return false;
      }
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
      while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {  // port taken meanwhile: try another
          pid_ = -1;
          break;
        }
        if (TcpAccepts(port)) {
          port_ = port;
          return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      Stop();
    }
    error = "dnsmasq did not start listening";
    return false;
  }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      jvb::WaitProcess(pid_);
    }
    pid_ = -1;
  }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

class DnsQueryLive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kDnsmasq, X_OK) != 0)
      GTEST_SKIP() << kDnsmasq << " is missing: install dnsmasq-base to run the live DNS tests";
    std::vector<std::string> records = {
        "--local=/example.test/",
        "--local=/big.test/",
        "--mx-host=example.test,mx1.example.test,10",
        "--mx-host=example.test,mx2.example.test,5",
        "--host-record=mx1.example.test,127.0.0.11",
        "--cname=alias.example.test,mx1.example.test",
    };
    // Enough exchangers that the answer no longer fits a UDP datagram (read over TCP).
    for (int i = 0; i < 40; ++i)
      records.push_back("--mx-host=big.test,exchanger-number-" + std::to_string(i) + ".big.test," +
                        std::to_string(300 - 7 * i));
    std::string error;
    ASSERT_TRUE(server_.Start(records, error)) << error;
    expected_ = "127.0.0.1:" + std::to_string(server_.port());
    env_.emplace(kDnsServerVariable, expected_);
    // Queries leave this machine only through the system resolver: refuse to go on unless
    // the setting is in place.
    const char* set = getenv(kDnsServerVariable);
    ASSERT_TRUE(set != nullptr && expected_ == set) << "QMS_DNS_SERVER could not be set";
  }

  // Every query object must ask the loopback server alone.
  ::testing::AssertionResult AsksLocalServer(const jvbTDnsQuery& q) const {
    if (q.ServerCount() == 1 && q.ServerText() == expected_ && q.ServerText().rfind("127.", 0) == 0)
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "object asks " << q.ServerCount() << " server(s), "
                                         << "first \"" << q.ServerText() << "\"";
  }

  Dnsmasq server_;
  std::string expected_;
  std::optional<ScopedEnv> env_;
};

TEST_F(DnsQueryLive, ExchangersAddressesAndAliases) {
  jvbTDnsQuery mx;
  ASSERT_TRUE(AsksLocalServer(mx));
  ASSERT_TRUE(mx.Query(jvbTDnsQuery::kTypeMX, "example.test"));
  EXPECT_EQ(mx.Name(), "example.test");
  EXPECT_EQ(mx.QueryType(), 15);
  EXPECT_EQ(AllMX(mx), (std::vector<std::string>{"mx2.example.test", "mx1.example.test"}));
  // The server adds the address it knows for mx1 in the additional section.
  uint32_t addr = 0;
  ASSERT_TRUE(mx.FindA("mx1.example.test", addr));
  EXPECT_EQ(addr, 0x7F00000Bu);
  EXPECT_FALSE(mx.FindA("mx2.example.test", addr));

  // Delivery's order: exchanger, its A query, CNAME target when there is one, then FindA.
  jvbTDnsQuery a;
  ASSERT_TRUE(AsksLocalServer(a));
  ASSERT_TRUE(a.Query(jvbTDnsQuery::kTypeA, "alias.example.test"));
  EXPECT_FALSE(a.FindA("alias.example.test", addr));
  std::string target;
  ASSERT_TRUE(a.FindCNAME("alias.example.test", target));
  EXPECT_EQ(target, "mx1.example.test");
  addr = 0;
  ASSERT_TRUE(a.FindA(target, addr));
  EXPECT_EQ(addr, 0x7F00000Bu);

  // Owner names come back spelled as asked; lookups ignore the difference.
  ASSERT_TRUE(a.Query(jvbTDnsQuery::kTypeA, "ALIAS.Example.Test"));
  ASSERT_FALSE(a.Results().empty());
  EXPECT_EQ(a.Results()[0].Name, "ALIAS.Example.Test");
  ASSERT_TRUE(a.FindCNAME("alias.example.test", target));
  EXPECT_TRUE(a.FindA("MX1.EXAMPLE.TEST", addr));
  ASSERT_TRUE(a.Query(jvbTDnsQuery::kTypeA, "Mx1.Example.Test"));
  EXPECT_TRUE(a.FindA("mx1.example.test", addr));
  ASSERT_TRUE(mx.Query(jvbTDnsQuery::kTypeMX, "EXAMPLE.test"));
  EXPECT_EQ(AllMX(mx), (std::vector<std::string>{"mx2.example.test", "mx1.example.test"}));
}

TEST_F(DnsQueryLive, FailuresAreResults) {
  jvbTDnsQuery q;
  ASSERT_TRUE(AsksLocalServer(q));
  ASSERT_TRUE(q.Query(jvbTDnsQuery::kTypeMX, "example.test"));
  // No such name: the earlier answer is gone.
  EXPECT_FALSE(q.Query(jvbTDnsQuery::kTypeA, "nothing.example.test"));
  EXPECT_TRUE(q.Results().empty());
  std::string host;
  EXPECT_FALSE(q.GetMX(0, host));
  // The name exists but has no MX.
  EXPECT_FALSE(q.Query(jvbTDnsQuery::kTypeMX, "mx1.example.test"));
  EXPECT_TRUE(q.Results().empty());
  // Outside the server's domains it refuses to answer.
  EXPECT_FALSE(q.Query(jvbTDnsQuery::kTypeMX, "nowhere.test"));
  // Names the resolver cannot encode: too long for the wire, empty labels.
  EXPECT_FALSE(q.Query(jvbTDnsQuery::kTypeA, std::string(300, 'x')));
  EXPECT_EQ(q.Name().size(), 255u);
  EXPECT_FALSE(q.Query(jvbTDnsQuery::kTypeA, "a..example.test"));
  // The object still works afterwards.
  ASSERT_TRUE(q.Query(jvbTDnsQuery::kTypeA, "mx1.example.test"));
  EXPECT_EQ(q.Results().size(), 1u);
}

TEST_F(DnsQueryLive, LargeAnswerArrivesWhole) {
  jvbTDnsQuery q;
  ASSERT_TRUE(AsksLocalServer(q));
  ASSERT_TRUE(q.Query(jvbTDnsQuery::kTypeMX, "big.test"));
  std::vector<std::string> got = AllMX(q);
  ASSERT_EQ(got.size(), 40u);
  // Preferences were given descending (300, 293, ... 27), across the 0xff/0x100 step.
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(got[static_cast<size_t>(i)],
              "exchanger-number-" + std::to_string(39 - i) + ".big.test");
}

TEST_F(DnsQueryLive, ManyThreadsQueryAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 25;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&failures, t, this] {
      jvbTDnsQuery mx, a;
      if (!AsksLocalServer(mx) || !AsksLocalServer(a)) {
        failures[static_cast<size_t>(t)] = kRounds;
        return;
      }
      for (int r = 0; r < kRounds; ++r) {
        std::string host, target;
        uint32_t addr = 0;
        bool ok = mx.Query(jvbTDnsQuery::kTypeMX, "example.test") && mx.GetMX(1, host) &&
                  host == "mx1.example.test" &&
                  a.Query(jvbTDnsQuery::kTypeA, "alias.example.test") &&
                  a.FindCNAME("alias.example.test", target) && a.FindA(target, addr) &&
                  addr == 0x7F00000Bu && !a.Query(jvbTDnsQuery::kTypeA, "nothing.example.test");
        if (!ok) ++failures[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<size_t>(t)], 0) << t;
}

}  // namespace
