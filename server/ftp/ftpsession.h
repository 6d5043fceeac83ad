// qmsTFTPSession: the FTP service (protocol 1). A client logs in with USER and PASS (or as
// the anonymous user), moves about the session's virtual file system, manages files and
// directories, and moves files and listings over a data connection it asks for with
// PORT/EPRT (active) or PASV/EPSV (passive). SITE offers help, the idle time-out, the reply
// language, listings on the control connection, account changes, the online list and,
// for administrators, remote administration.
//
// Every path a client names is normalised inside the virtual file system and reached
// beneath its mounted directory (jvb::RootDir), so neither ".." nor a link leads out of
// it; only regular files are ever opened. Rights come from the ACCESS rules (Tqms_access)
// of the real path.
//
// Replies come from "messages/ftp/ftp.res" by section and key; texts with "%A%"/"%B%"
// are expanded first and the values put in afterwards, so client text is never a template.
//
// Threads: everything runs on the session's own pooled thread. Status, the transfer
// figures and the current path are atomics or guarded by figures_lock_, because SITE WHO
// and RADM of other sessions read them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/core/session.h"
#include "server/users/access.h"
#include "toolbox/filesys.h"
#include "toolbox/timer.h"

class qmsTService;

class qmsTFTPSession : public qmsTSession {
 public:
  static constexpr size_t kMaxLine = 4096;       // longer command lines get GLOB/500a
  static constexpr size_t kBlockSize = 16384;    // transfer block with a cap or progress lines
  static constexpr size_t kFastBlock = 4 << 20;  // plain transfers
  static constexpr int kPassiveWaitMs = 15000;

  enum StatusValue : int {
    stNone = 0,
    stUserGiven = 1,
    stLoggedIn = 10,
    stRetr = 11,
    stStor = 12,
    stList = 13,
    stSite = 14,
  };
  enum MlstFact : int { mfSize = 1, mfModify = 2, mfType = 4, mfPerm = 8 };
  // Access bits of GetAccessTo.
  enum Right : int { arExec = 1, arWrite = 2, arRead = 4, arLimit1 = 16, arLimit2 = 32 };

  explicit qmsTFTPSession(qmsTService* service);
  ~qmsTFTPSession() override;

  bool Start() override;
  bool GetVars(const std::string& name, std::string& value) override;
  void SendCmd(const std::string& block, const std::string& reply) override;
  void OnIdleTimeout() override;

  // Read by SITE WHO and RADM of other sessions (under the service's session-list lock).
  struct Figures {
    int status = 0;
    int percent = 0, rate = 0, timeLeft = 0;
    int64_t bytesDone = 0;
    std::string user, path;
  };
  Figures Snapshot();
  // Another session's RADM KILL: the session ends its loop and answers QUIT/221d.
  void Kill();

  std::atomic<int> Status{stNone};

 private:
  void ReadSettings();
  // One command line, as the base ReadLine, but also ended by a kill.
  int ReadCommand(std::string& line);
  bool Stopping() const { return terminate || killed_; }
  void Serve();
  // Runs commands until the connection ends; true when it ended with REIN.
  bool ServeCommands();
  void Dispatch(const std::string& command, const std::string& argument);
  void Greet();

  // --- Replies ---
  // Key of section; %A%/%B% replaced by values (after expansion) and the companion file.
  void SendArg(const std::string& key, const std::string& section, const std::string& a,
               const std::string& b = std::string());
  void SendHookReply(const std::string& output);
  void SendLine(const std::string& raw);  // one raw line, CR LF added

  // --- Paths and rights ---
  std::string Virtual(const std::string& argument);  // normalised, "" above the root
  std::string Real(const std::string& virtualPath);
  int Rights(const std::string& realPath);
  static bool Has(int rights, int bits) { return (rights & bits) == bits; }
  bool IsAnonymous();
  bool IsAdministrator();
  void SetCurPath(const std::string& real);

  // --- Login and informational commands (ftpsession.cpp) ---
  void cUSER(const std::string& cmd, const std::string& arg);
  void cPASS(const std::string& cmd, const std::string& arg);
  void AfterLogin();
  void cNI(const std::string& cmd, const std::string& arg);
  void cNOOP(const std::string& cmd, const std::string& arg);
  void cSTAT(const std::string& cmd, const std::string& arg);
  void cABOR(const std::string& cmd, const std::string& arg);
  void cSYST(const std::string& cmd, const std::string& arg);
  void cHELP(const std::string& cmd, const std::string& arg);
  void cFEAT(const std::string& cmd, const std::string& arg);
  // TLS (ftptls.cpp): AUTH TLS on the control connection, PBSZ and PROT for the data
  // connections. A service without TLS answers them as unknown commands.
  void cAUTH(const std::string& cmd, const std::string& arg);
  void cPBSZ(const std::string& cmd, const std::string& arg);
  void cPROT(const std::string& cmd, const std::string& arg);
  // USER or PASS on a plain connection to a service that requires TLS: answered.
  bool RefusedWithoutTls();
  // The handshake on a protected data connection, after its 150 reply (clients start
  // it then); true on a clear one. A failure is logged and ends the transfer.
  bool SecureData();
  void cOPTS(const std::string& cmd, const std::string& arg);
  void cTYPE(const std::string& cmd, const std::string& arg);
  void cMODE(const std::string& cmd, const std::string& arg);

  // --- Directory and file commands (ftpfiles.cpp) ---
  void cCWD(const std::string& cmd, const std::string& arg);
  void cCDUP(const std::string& cmd, const std::string& arg);
  void cPWD(const std::string& cmd, const std::string& arg);
  void cMKD(const std::string& cmd, const std::string& arg);
  void cRMD(const std::string& cmd, const std::string& arg);
  void cDELE(const std::string& cmd, const std::string& arg);
  void cRNFR(const std::string& cmd, const std::string& arg);
  void cRNTO(const std::string& cmd, const std::string& arg);
  void cSIZE(const std::string& cmd, const std::string& arg);
  void cMDTM(const std::string& cmd, const std::string& arg);
  void cMLST(const std::string& cmd, const std::string& arg);

  // --- Data connections and transfers (ftpdata.cpp) ---
  void cPORT(const std::string& cmd, const std::string& arg);
  void cEPRT(const std::string& cmd, const std::string& arg);
  void cPASV(const std::string& cmd, const std::string& arg);
  void cEPSV(const std::string& cmd, const std::string& arg);
  void cREST(const std::string& cmd, const std::string& arg);
  void cRETR(const std::string& cmd, const std::string& arg);
  void cSTOR(const std::string& cmd, const std::string& arg);
  bool OpenPassive(const std::string& section);
  bool SetupDataConn();
  void CloseData();
  // Reads waiting control bytes; sets the abort flag when they hold "ABOR".
  void PollAbort();
  void SendFile(int fd, int64_t offset, int64_t size);
  // Receives into fd at offset; false on a write error (errno kept in hook_result_).
  bool ReceiveFile(int fd, int64_t offset, const std::string& command);
  void UpdateFigures(int64_t size, bool retr);
  // n more bytes moved: the figures, and the idle timer reset.
  void Progress(int64_t n, int64_t size, bool retr);
  void RetrStats();
  void StorStats(int64_t size);

  // --- Listings (ftplist.cpp) ---
  void cLIST(const std::string& cmd, const std::string& arg);
  void cNLST(const std::string& cmd, const std::string& arg);
  void cMLSD(const std::string& cmd, const std::string& arg);

 public:
  // The listing; toData false writes the lines on the control connection (SITE).
  void List(bool toData, const std::string& command, const std::string& argument);
  // The MLST/MLSD facts of one entry, ending in a blank.
  std::string GetMLS(const std::string& realPath, bool directory, int64_t size, time_t mtime,
                     const std::string& name);

 private:
  int CountSubDirs(const std::string& virtualDir);
  bool SendListLine(bool toData, const std::string& line);

  // --- SITE (ftpsite.cpp, ftpradm.cpp) ---
  void cSITE(const std::string& cmd, const std::string& arg);
  void SiteDispatch(const std::string& argument);
  void SiteUnknown(const std::string& argument);
  void SiteHelp(const std::string& arg);
  void SiteIdle(const std::string& arg);
  void SiteLang(const std::string& arg);
  void SiteName(const std::string& arg);
  void SitePass(const std::string& arg);
  void SiteWho();
  // One line per session of the service, built under the session-list lock.
  std::vector<std::string> SessionLines(bool admin, bool radm);
  void SiteRadm(const std::string& arg);
  void RadmGet(bool userFile, const std::string& arg);
  void RadmSet(bool userFile, const std::string& arg);
  void RadmUdup(const std::string& arg);
  void RadmList(const std::string& arg);
  void RadmKill(const std::string& arg);
  void RadmMonitor(const std::string& arg);
  void SendSiteLines(const std::vector<std::string>& lines);

  std::unique_ptr<jvbTSocket> data_;     // the data connection of one transfer
  std::unique_ptr<jvbTSocket> passive_;  // PASV/EPSV listener until the next transfer
  bool port_given_ = false;  // PORT/EPRT named the target of the next data connection
  uint32_t port_address_ = 0;
  uint16_t port_port_ = 0;
  std::atomic<bool> abort_{false};
  jvbTTimer transfer_timer_;
  std::mutex figures_lock_;  // guards the figures below against other sessions' readers
  int64_t bytes_done_ = 0;
  int64_t transfer_size_ = 0;
  int time_left_ = 0, rate_ = 0, percent_ = 0;
  std::string cur_path_;
  std::string user_name_;

  int32_t bandwidth_ = 0, anon_bandwidth_ = 0, user_bandwidth_ = 0;
  int32_t timeout_max_ = 300;
  std::string welcome_file_;
  int32_t hide_if_no_access_ = 0;
  int32_t min_free_space_ = 512;
  bool disable_ea_ = false, disable_dircount_ = false;
  Tqms_access access_;
  std::string password_;
  int hook_result_ = 0;
  // The result RMD logs for a folder without any write permission (not tried).
  static constexpr int kReadOnlyResult = -99;
  char type_ = 'A';
  int64_t restart_ = 0;
  std::string rename_source_;  // virtual path
  bool message_files_ = true;
  bool xqms_ = false;
  bool prot_private_ = false;  // PROT P: data connections run TLS
  int mlst_facts_ = mfSize | mfModify | mfType | mfPerm;
  std::string final_key_ = "221a";
  std::string command_hook_;
  // Set by another session's RADM KILL; the session ends its loop and says why.
  std::atomic<bool> killed_{false};
};

std::unique_ptr<qmsTSession> qmsMakeFTPSession(qmsTService* service);
void qmsRegisterFtp();
