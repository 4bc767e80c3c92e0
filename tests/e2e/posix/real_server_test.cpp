// The real binary against the receiving servers that users run, on loopback: nginx in
// front of PHP-FPM (http, https of TLS 1.2 only and of TLS 1.3 only, and a small body
// limit), Flask, Node with busboy, Go's net/http and Tomcat with its default limits. Each
// test starts its servers on free ports in a folder of its own and stops them by their
// process ids. One table of files, one runner.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "e2e/upload_fixture.h"
#include "platform/codepage.h"
#include "support/child_process.h"
#include "support/reference_proxy.h"
#include "support/temp_dir.h"

extern char** environ;

namespace qb::test {
namespace {

const std::string kServers = QUOBRINA_SOURCE_DIR "/tests/e2e/servers";
const std::string kNginx = "/usr/sbin/nginx";
// Debian names the binary after the PHP version: php-fpm8.2 and the like.
const std::string kPhpFpm = [] {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/sbin", error)) {
    if (entry.path().filename().string().rfind("php-fpm", 0) == 0) return entry.path().string();
  }
  return std::string("/usr/sbin/php-fpm");
}();
const std::string kPython = "/usr/bin/python3";  // the system's, where python3-flask installs Flask
const std::string kNode = "/usr/bin/node";
const std::string kGo = "/usr/bin/go";
const std::string kBusboy = "/usr/share/nodejs/busboy";
// Debian's Tomcat 10 (package tomcat10-user): the shared installation and the files a new
// instance starts from.
const std::string kCatalinaHome = "/usr/share/tomcat10";
const std::string kTomcatSkeleton = "/usr/share/tomcat10/skel";
const std::string kCredentials = "<Username>branch12</Username><Password>secret</Password>";

// A server process, stopped by its id when the object goes.
class ServerProcess {
 public:
  ServerProcess(std::vector<std::string> arguments, const std::string& log) {
    // Services run under a plain UTF-8 locale, whatever the test's.
    std::vector<std::string> environment{"LANG=C.UTF-8", "NODE_PATH=/usr/share/nodejs"};
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      if (text.rfind("LANG=", 0) != 0 && text.rfind("LC_", 0) != 0 && text.rfind("NODE_PATH=", 0) != 0) {
        environment.push_back(text);
      }
    }
    std::vector<char*> argv, envp;
    for (auto& argument : arguments) argv.push_back(argument.data());
    for (auto& entry : environment) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) pid_ = 0;
  }
  ~ServerProcess() { StopChild(pid_, 5); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

 private:
  pid_t pid_ = 0;
};

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

// Waits up to `seconds` for `ready`.
bool Await(const std::function<bool()>& ready, int seconds = 10) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string Fill(std::string text, const std::map<std::string, std::string>& marks) {
  for (const auto& [mark, value] : marks) {
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size())) {
      text.replace(at, mark.size(), value);
    }
  }
  return text;
}

// The servers of one test, stopped when it ends.
struct Servers {
  ScopedTempDir dir;
  std::string missing;  // what is not installed, if anything
  std::string failure;  // why installed servers did not start, if they did not
  std::map<std::string, int> ports;
  std::vector<std::unique_ptr<ServerProcess>> processes;

  std::string PhpStore() const { return dir.file("php-files"); }

  // Starts the servers of one kind: "php" (nginx in front of PHP-FPM), "flask", "go",
  // "tomcat" or "busboy".
  explicit Servers(const std::string& kind) {
    for (const char* folder :
         {"php-files", "flask-files", "busboy-files", "go-files", "tomcat-files", "php-tmp", "nginx-body"}) {
      std::filesystem::create_directories(dir.file(folder));
    }
    if (kind == "php") {
      if (::access(kNginx.c_str(), X_OK) != 0 || ::access(kPhpFpm.c_str(), X_OK) != 0) {
        missing = "nginx or php-fpm is not installed (scripts/setup installs them)";
      } else {
        StartPhp(::geteuid() == 0);
      }
    } else if (kind == "flask") {
      if (RunProgram(kPython, {"python3", "-c", "import flask"}, 30).exitCode != 0) {
        missing = "Flask is not installed for " + kPython + " (scripts/setup installs python3-flask)";
      } else {
        failure = StartScript("flask", {kPython, kServers + "/flask_store.py", dir.file("flask-files")});
      }
    } else if (kind == "go") {
      if (::access(kGo.c_str(), X_OK) != 0) {
        missing = "Go is not installed (scripts/setup installs golang-go)";
      } else {
        // Built first, so that the wait for its port is not spent compiling.
        const std::string binary = dir.file("go_store");
        const ProgramResult built = RunProgram("/usr/bin/env",
                                               {"env", "GOCACHE=" + dir.file("go-cache"), kGo, "build", "-o", binary,
                                                kServers + "/go_store.go"},
                                               120);
        failure = built.exitCode == 0 ? StartScript("go", {binary, dir.file("go-files")})
                                      : "go build failed: " + built.output;
      }
    } else if (kind == "tomcat") {
      if (::access((kCatalinaHome + "/bin/catalina.sh").c_str(), X_OK) != 0 ||
          !std::filesystem::exists(kTomcatSkeleton + "/conf/web.xml")) {
        missing = "Tomcat 10 is not installed (scripts/setup installs tomcat10-user)";
      } else {
        StartTomcat();
      }
    } else if (::access(kNode.c_str(), X_OK) != 0 || !std::filesystem::exists(kBusboy)) {
      missing = "Node or busboy is not installed (scripts/setup installs nodejs and node-busboy)";
    } else {
      failure = StartScript("busboy", {kNode, kServers + "/busboy_store.js", dir.file("busboy-files")});
    }
  }

  // Starts a server script that takes its store folder and then a port file; the reason
  // it cannot run, or nothing.
  std::string StartScript(const std::string& name, std::vector<std::string> arguments) {
    const std::string portFile = dir.file(name + ".port");
    arguments.push_back(portFile);
    processes.push_back(std::make_unique<ServerProcess>(arguments, dir.file(name + ".log")));
    int port = 0;
    if (!Await([&] { return std::istringstream(ReadFileIfAny(portFile)) >> port && port > 0; })) {
      return name + " did not start: " + ReadFileIfAny(dir.file(name + ".log"));
    }
    ports[name] = port;
    return {};
  }

  // A Tomcat instance of its own: the configuration Debian gives a new instance, with
  // tomcat_server.xml for server.xml. Its start takes seconds, so it starts once; a port
  // taken by others before it binds it is tried again on a new one.
  void StartTomcat() {
    const std::string base = dir.file("tomcat");
    std::filesystem::create_directories(base);
    std::filesystem::copy(kTomcatSkeleton + "/conf", base + "/conf", std::filesystem::copy_options::recursive);
    for (const char* folder : {"logs", "temp", "webapps", "work"})
      std::filesystem::create_directories(base + "/" + folder);
    const std::string log = dir.file("tomcat.log");
    for (int attempt = 0; attempt < 3; ++attempt) {
      processes.clear();
      std::filesystem::remove(log);
      const int port = FreePort();
      const std::map<std::string, std::string> marks{{"@DIR@", dir.path()},
                                                     {"@SERVERS@", kServers},
                                                     {"@PORT@", std::to_string(port)}};
      WriteFile(base + "/conf/server.xml", Fill(ReadFile(kServers + "/tomcat_server.xml"), marks));
      processes.push_back(std::make_unique<ServerProcess>(
          std::vector<std::string>{"/usr/bin/env", "CATALINA_BASE=" + base, "CATALINA_HOME=" + kCatalinaHome,
                                   // A quicker start; the server's own settings stay as they are.
                                   "JAVA_OPTS=-XX:TieredStopAtLevel=1 -XX:+UseSerialGC",
                                   kCatalinaHome + "/bin/catalina.sh", "run"},
          log));
      const bool started =
          Await([&] { return ReadFileIfAny(log).find("Server startup in") != std::string::npos; }, 120);
      const bool portTaken = ReadFileIfAny(log).find("Address already in use") != std::string::npos;
      if (started && !portTaken && Accepts(port)) {
        ports["tomcat"] = port;
        failure.clear();
        return;
      }
      failure = "Tomcat did not start: " + ReadFileIfAny(log);
      if (!portTaken) return;
    }
  }

  static std::string ReadFileIfAny(const std::string& path) {
    return std::filesystem::exists(path) ? ReadFile(path) : std::string();
  }

  // Free ports can be taken by others before nginx binds them: a failed start is tried
  // again on new ones.
  void StartPhp(bool root) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      processes.clear();
      std::filesystem::remove(dir.file("php-fpm.sock"));
      failure.clear();
      StartPhpOnce(root);
      if (failure.empty()) return;
    }
  }

  void StartPhpOnce(bool root) {
    for (const char* name : {"HTTP", "TLS12", "TLS13", "SMALL"}) ports[name] = FreePort();
    const std::map<std::string, std::string> marks{
        {"@DIR@", dir.path()},
        {"@SERVERS@", kServers},
        {"@USER@", root ? "user root root;" : ""},
        {"@PHP_USER@", root ? "user = root\ngroup = root" : ""},
        {"@HTTP_PORT@", std::to_string(ports["HTTP"])},
        {"@TLS12_PORT@", std::to_string(ports["TLS12"])},
        {"@TLS13_PORT@", std::to_string(ports["TLS13"])},
        {"@SMALL_PORT@", std::to_string(ports["SMALL"])},
    };
    for (const char* name : {"nginx.conf", "locations.conf", "php-fpm.conf"}) {
      WriteFile(dir.file(name), Fill(ReadFile(kServers + "/" + name), marks));
    }
    RunProgram("/bin/sh",
               {"sh", "-c",
                "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
                    dir.file("key.pem") + "' -out '" + dir.file("cert.pem") + "' 2>/dev/null"},
               30);
    std::vector<std::string> php{kPhpFpm, "-F", "-y", dir.file("php-fpm.conf")};
    if (root) php.push_back("-R");
    processes.push_back(std::make_unique<ServerProcess>(php, dir.file("php-fpm.log")));
    processes.push_back(
        std::make_unique<ServerProcess>(std::vector<std::string>{kNginx, "-e", dir.file("nginx-error.log"), "-c",
                                                                 dir.file("nginx.conf"), "-g", "daemon off;"},
                                        dir.file("nginx.log")));
    const bool started = Await([&] { return std::filesystem::exists(dir.file("php-fpm.sock")); }) && Await([&] {
                           for (const char* name : {"HTTP", "TLS12", "TLS13", "SMALL"}) {
                             if (!Accepts(ports[name])) return false;
                           }
                           return true;
                         });
    if (!started) {
      failure = "nginx and PHP-FPM did not start: " + ReadFileIfAny(dir.file("nginx-error.log")) +
                ReadFileIfAny(dir.file("php-fpm-error.log"));
    }
  }
};

std::string Repeat(const std::string& text, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += text;
  return out;
}

// Files of one folder: the name on disk, the name the servers store it under (they
// decode no escapes), and the bytes.
struct NamedFile {
  std::string name;
  std::string stored;
  std::string bytes;
};

// Gives each file without bytes a text of its own ("-": no bytes at all).
std::vector<NamedFile> WithContents(std::vector<NamedFile> files) {
  for (NamedFile& file : files) {
    if (file.bytes.empty()) file.bytes = "the file " + file.name + "\n";
    if (file.bytes == "-") file.bytes.clear();
  }
  return files;
}

std::vector<NamedFile> FileTable() {
  std::string big(5 << 20, '\0');
  std::mt19937 random(14);
  for (char& c : big) c = static_cast<char>(random());
  std::vector<NamedFile> files{
      {"plain.txt", "plain.txt", ""},
      {"report 2026; final (1).txt", "report 2026; final (1).txt", ""},
      {"say \"hi\".txt", "say %22hi%22.txt", ""},
      {"a\\b.txt", "a%5Cb.txt", ""},
      {"b.txt", "b.txt", ""},  // what a cut "a\b.txt" would overwrite
      {"50% off.txt", "50% off.txt", ""},
      {"tab\there.txt", "tab\there.txt", ""},
      {"%22hi%22.txt", "%2522hi%2522.txt", ""},  // not the same as the quoted one
      {"café.txt", "café.txt", ""},
      {"caf\xE9.txt", "caf%E9.txt", ""},  // the same name in Latin-1: no UTF-8
      {"отчёт.txt", "отчёт.txt", ""},
      {"архив.txt", "архив.txt", ""},
      {"01_список.txt", "01_список.txt", ""},
      {"02_список.txt", "02_список.txt", ""},
      {"报告.txt", "报告.txt", ""},
      // The longest name that still comes as "filename*" too: the part header after the
      // boundary line is 512 bytes.
      {Repeat("я", 45) + "ab.txt", Repeat("я", 45) + "ab.txt", ""},
      {Repeat("я", 100) + ".txt", Repeat("я", 100) + ".txt", ""},
      {"empty.bin", "empty.bin", "-"},
      {"one.bin", "one.bin", "1"},
      {"big.bin", "big.bin", big},
  };
  return WithContents(std::move(files));
}

// busboy with its defaults reads the quoted name as Latin-1 and takes "filename*" instead
// where it comes: a longer name arrives as the Latin-1 reading of its UTF-8 bytes.
std::vector<NamedFile> BusboyDefaultTable() {
  const std::string longer = Repeat("ю", 46) + ".txt";
  return WithContents({
      {"отчёт.txt", "отчёт.txt", ""},
      {"报告.txt", "报告.txt", ""},
      {Repeat("я", 45) + "ab.txt", Repeat("я", 45) + "ab.txt", ""},
      {longer, platform::ConvertCodePage(platform::kCodePageLatin1, platform::kCodePageUtf8, longer), ""},
  });
}

void SetLocale(const std::string& lang) {
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_CTYPE");
  ::setenv("LANG", lang.c_str(), 1);
}

class RealServerTest : public UploadTest {
 protected:
  RealServerTest() {
    for (const char* name : {"LANG", "LC_ALL", "LC_CTYPE"}) {
      if (const char* value = std::getenv(name)) saved_[name] = value;
    }
  }
  ~RealServerTest() override {
    for (const char* name : {"LANG", "LC_ALL", "LC_CTYPE"}) ::unsetenv(name);
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }

  // Uploads the table to `url` under each locale and compares what `store` holds;
  // `options` go into UploadServer.
  void UploadTheTable(const std::string& url, const std::string& store,
                      const std::vector<NamedFile>& files = FileTable(), const std::string& options = "") {
    ClearSource();
    for (const NamedFile& file : files) WriteFile(Path(file.name), file.bytes);
    for (const std::string lang : {"C.UTF-8", "ru_RU.UTF-8"}) {
      SCOPED_TRACE(url + " under LANG=" + lang);
      std::filesystem::remove_all(State());
      for (const auto& entry : std::filesystem::directory_iterator(store)) std::filesystem::remove_all(entry);
      SetLocale(lang);
      WriteConfig(url, options);
      const ProgramResult result = Run();
      EXPECT_EQ(0, result.exitCode) << result.output;
      std::string listing;
      std::size_t stored = 0;
      for (const auto& entry : std::filesystem::directory_iterator(store)) {
        stored += entry.is_regular_file();
        listing += entry.path().filename().string() + "\n";
      }
      EXPECT_EQ(files.size(), stored) << "stored:\n" << listing;  // no two files under one name
      for (const NamedFile& file : files) {
        const std::string path = store + "/" + file.stored;
        if (!std::filesystem::exists(path)) {
          ADD_FAILURE() << "not stored: " << file.stored;
          continue;
        }
        EXPECT_TRUE(file.bytes == ReadFile(path)) << file.stored;
      }
    }
  }

  // A 5 MiB file sent to `url`: the run ends with `statusLine` and records nothing.
  void ExpectRefusal(const std::string& url, const std::string& credentials, const std::string& statusLine) {
    SCOPED_TRACE(url);
    ClearSource();
    WriteFile(Path("big.bin"), std::string(5 << 20, 'x'));
    WriteConfig(url, credentials);
    const ProgramResult result = Run();
    EXPECT_EQ(1, result.exitCode);
    const std::string log = Log(result);
    EXPECT_EQ("[--:--:--] [ERRX] ENetHTTPProtocolException: " + statusLine + "\r\n",
              log.substr(log.rfind("[--:--:--]")));
    EXPECT_EQ("", ReadFile(Ledger()));
  }

  // One file with the right credentials arrives.
  void ExpectAccepted(const std::string& url, const std::string& store) {
    ClearSource();
    WriteFile(Path("signed.txt"), "with credentials");
    WriteConfig(url, kCredentials);
    const ProgramResult result = Run();
    EXPECT_EQ(0, result.exitCode) << result.output;
    EXPECT_EQ("with credentials", ReadFile(store + "/signed.txt"));
  }

  // The tables (by path), right credentials and wrong ones against a server of one
  // process.
  void UploadToOneProcessServer(const std::string& kind, const std::string& unauthorized,
                                const std::vector<std::pair<std::string, std::vector<NamedFile>>>& tables = {
                                    {"/upload", FileTable()}}) {
    const Servers servers(kind);
    if (!servers.missing.empty()) GTEST_SKIP() << servers.missing;
    ASSERT_EQ("", servers.failure);
    const std::string url = "http://127.0.0.1:" + std::to_string(servers.ports.at(kind));
    const std::string store = servers.dir.file(kind + "-files");
    for (const auto& [path, files] : tables) UploadTheTable(url + path, store, files);
    ExpectAccepted(url + "/auth/upload", store);
    ExpectRefusal(url + "/auth/upload", "<Username>branch12</Username><Password>wrong</Password>", unauthorized);
  }

  std::map<std::string, std::string> saved_;
};

TEST_F(RealServerTest, PhpBehindNginx) {
  const Servers servers("php");
  if (!servers.missing.empty()) GTEST_SKIP() << servers.missing;
  ASSERT_EQ("", servers.failure);
  const auto url = [&](const char* scheme, const char* port, const std::string& path) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(servers.ports.at(port)) + path;
  };
  // nginx keeps the connection: each run sends all its files on one, over https too.
  // Requests per connection, and the versions of the request lines.
  const auto connections = [&](const char* port, std::set<std::string>* versions = nullptr) {
    std::istringstream log(Servers::ReadFileIfAny(servers.dir.file("access.log")));
    std::map<std::string, int> requests;
    for (std::string line; std::getline(log, line);) {
      std::string server, connection, version;
      std::istringstream(line) >> server >> connection >> version;
      if (server != std::to_string(servers.ports.at(port))) continue;
      ++requests[connection];
      if (versions) versions->insert(version);
    }
    return requests;
  };
  const std::size_t files = FileTable().size();
  for (const auto& [scheme, port] : {std::pair{"http", "HTTP"}, {"https", "TLS12"}, {"https", "TLS13"}}) {
    UploadTheTable(url(scheme, port, "/upload/store.php"), servers.PhpStore());
    std::vector<int> perConnection;
    for (const auto& [connection, count] : connections(port)) perConnection.push_back(count);
    EXPECT_EQ(std::vector<int>(2, static_cast<int>(files)), perConnection) << port << ": requests per connection";
  }
  // PHP's plain echo, of a length nginx cannot tell: it ends HTTP/1.0 connections after
  // each answer and keeps HTTP/1.1 ones, chunking the answer. A chunked answer past the
  // answer limit is cut and its connection closed; every file still arrives whole.
  const struct {
    const char* answer;
    const char* options;
    const char* version;      // of every request line
    std::size_t least, most;  // connections of the two runs
  } echoes[] = {
      {"echo", "", "HTTP/1.0", 2 * files, 2 * files},
      {"echo", "<HttpVersion>1.1</HttpVersion>", "HTTP/1.1", 2, 4},
      {"big", "<HttpVersion>1.1</HttpVersion>", "HTTP/1.1", 2 * files, 2 * files},
  };
  for (const auto& echo : echoes) {
    SCOPED_TRACE(std::string(echo.answer) + " " + echo.options);
    std::filesystem::resize_file(servers.dir.file("access.log"), 0);
    UploadTheTable(url("http", "HTTP", std::string("/upload/store.php?answer=") + echo.answer), servers.PhpStore(),
                   FileTable(), echo.options);
    std::set<std::string> versions;
    const std::size_t made = connections("HTTP", &versions).size();
    EXPECT_LE(made, echo.most);
    EXPECT_GE(made, echo.least);
    EXPECT_EQ(std::set<std::string>{echo.version}, versions);
  }
  ExpectAccepted(url("https", "TLS13", "/auth/store.php"), servers.PhpStore());
  ExpectRefusal(url("http", "HTTP", "/auth/store.php"), "<Username>branch12</Username><Password>wrong</Password>",
                "HTTP/1.1 401 Unauthorized");
  ExpectRefusal(url("http", "SMALL", "/upload/store.php"), "", "HTTP/1.1 413 Request Entity Too Large");
}

// The PHP receiver of the README, as it stands there, behind nginx with PHP-FPM: a file
// above upload_max_filesize gets a refusal, never a 200, and stays unrecorded (passed over
// with SkipRefusedFiles); the others are stored.
TEST_F(RealServerTest, TheReadmesPhpReceiverNeverAnswersTwoHundredForADroppedFile) {
  const Servers servers("php");
  if (!servers.missing.empty()) GTEST_SKIP() << servers.missing;
  ASSERT_EQ("", servers.failure);
  const std::string readme = ReadFile(QUOBRINA_SOURCE_DIR "/README.md");
  const std::size_t start = readme.find("```php\n");
  ASSERT_NE(start, std::string::npos);
  const std::size_t end = readme.find("```", start + 7);
  std::string script;
  std::istringstream block(readme.substr(start + 7, end - start - 7));
  for (std::string line; std::getline(block, line);)
    script += (line.rfind("  ", 0) == 0 ? line.substr(2) : line) + "\n";
  const std::string folder = "'/srv/uploads/'";
  ASSERT_NE(script.find(folder), std::string::npos);
  script.replace(script.find(folder), folder.size(), "'" + servers.PhpStore() + "/'");
  WriteFile(servers.dir.file("readme.php"), script);
  ClearSource();
  WriteFile(Path("a.txt"), "small");
  WriteFile(Path("b.bin"), std::string(2 << 20, 'b'));  // above the 1 MiB upload_max_filesize
  WriteFile(Path("c.txt"), "small too");
  WriteConfig("http://127.0.0.1:" + std::to_string(servers.ports.at("HTTP")) + "/readme/receive.php",
              "<SkipRefusedFiles>true</SkipRefusedFiles>");
  const ProgramResult result = Run();
  EXPECT_EQ(1, result.exitCode);
  const std::string log = Log(result);
  EXPECT_EQ("[--:--:--] [ERRX] EQbFilesRefusedError: 1 file was refused and not recorded; the first, \"" +
                Path("b.bin") + "\": HTTP/1.1 413 Request Entity Too Large\r\n",
            log.substr(log.rfind("[--:--:--]")))
      << log;
  EXPECT_EQ(Path("a.txt") + "\r\n" + Path("c.txt") + "\r\n", ReadFile(Ledger()));
  EXPECT_EQ("small", ReadFile(servers.PhpStore() + "/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(servers.PhpStore() + "/b.bin"));
}

// Through squid, to nginx: http in the absolute form, over one connection to the proxy
// for each run (one client port in squid's log), and https through one tunnel for each
// run, which nginx keeps; squid takes the 5 MiB body whole before it passes it on. Wrong
// proxy credentials end the run with squid's 407.
TEST_F(RealServerTest, PhpBehindNginxThroughSquid) {
  const Servers servers("php");
  if (!servers.missing.empty()) GTEST_SKIP() << servers.missing;
  ASSERT_EQ("", servers.failure);
  ReferenceProxy proxy(servers.dir.path());
  if (!proxy.missing().empty()) GTEST_SKIP() << proxy.missing();
  ASSERT_EQ("", proxy.failure());
  std::vector<NamedFile> files;
  for (const NamedFile& file : FileTable()) {
    if (file.name == "plain.txt" || file.name == "отчёт.txt" || file.name == "empty.bin" || file.name == "big.bin") {
      files.push_back(file);
    }
  }
  const std::string proxyCredentials = std::string("<ProxyUsername>") + kProxyUser + "</ProxyUsername><ProxyPassword>" +
                                       kProxyPassword + "</ProxyPassword>";
  for (const auto& [scheme, port, credentials] : {std::tuple{"http", "HTTP", false}, {"https", "TLS13", true}}) {
    const std::string authority = "127.0.0.1:" + std::to_string(servers.ports.at(port));
    const std::string url = std::string(scheme) + "://" + authority + "/upload/store.php";
    UploadTheTable(url, servers.PhpStore(), files,
                   "<Proxy>" + proxy.Address(credentials) + "</Proxy>" + (credentials ? proxyCredentials : ""));
    // Per run (one for each locale): the connection's client port and what it asked.
    std::map<std::string, std::vector<std::string>> perConnection;
    for (const std::string& line : proxy.Log(credentials ? 2 : 2 * files.size())) {
      const std::size_t blank = line.rfind(' ');
      perConnection[line.substr(blank + 1)].push_back(line.substr(0, blank));
    }
    const std::string user = credentials ? kProxyUser : "-";
    const std::string request = credentials ? "200 CONNECT " + authority + " " + user : "200 POST " + url + " " + user;
    const std::vector<std::string> run(credentials ? 1 : files.size(), request);
    ASSERT_EQ(2u, perConnection.size()) << scheme;
    for (const auto& [clientPort, requests] : perConnection) EXPECT_EQ(run, requests) << scheme << " " << clientPort;
  }
  ExpectRefusal("https://127.0.0.1:" + std::to_string(servers.ports.at("TLS13")) + "/upload/store.php",
                "<Proxy>" + proxy.Address(true) +
                    "</Proxy><ProxyUsername>proxyuser</ProxyUsername>"
                    "<ProxyPassword>wrong</ProxyPassword>",
                "HTTP/1.1 407 Proxy Authentication Required");
}

// --check against nginx, directly and through squid: it connects, completes the handshake
// with the configured verification and closes, so nginx logs no request; a certificate
// of another authority, a closed port and squid refusing the credentials each end it with
// their error line. The ledger is never touched.
TEST_F(RealServerTest, CheckConnectsWithoutARequest) {
  const Servers servers("php");
  if (!servers.missing.empty()) GTEST_SKIP() << servers.missing;
  ASSERT_EQ("", servers.failure);
  ReferenceProxy proxy(servers.dir.path());
  if (!proxy.missing().empty()) GTEST_SKIP() << proxy.missing();
  ASSERT_EQ("", proxy.failure());
  // A certificate of another authority: self-signed for the same address.
  const std::string other = dir_.file("other.pem");
  RunProgram("/bin/sh",
             {"sh", "-c",
              "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
              "subjectAltName=IP:127.0.0.1 -keyout '" +
                  dir_.file("other-key.pem") + "' -out '" + other + "' 2>/dev/null"},
             30);
  const std::string url = "https://127.0.0.1:" + std::to_string(servers.ports.at("TLS13")) + "/upload/store.php";
  const auto verified = [](const std::string& certificate) {
    return "<VerifyCertificate>true</VerifyCertificate><CertificateFile>" + certificate + "</CertificateFile>";
  };
  const std::string viaProxy =
      "<Proxy>" + proxy.Address(true) + "</Proxy><ProxyUsername>" + kProxyUser + "</ProxyUsername><ProxyPassword>";
  struct Case {
    std::string url;
    std::string options;
    std::string last;  // the start of the last line
  };
  const std::string passed = "[--:--:--] [LOGX] Every check passed\r\n";
  const Case cases[] = {
      {url, verified(servers.dir.file("cert.pem")), passed},
      {url, verified(other), "[--:--:--] [ERRX] ENetOSSLConnectError: Error connecting with SSL.\r\n"},
      {"https://127.0.0.1:" + std::to_string(FreePort()) + "/", verified(servers.dir.file("cert.pem")),
       "[--:--:--] [ERRX] ENetSocketError: Socket Error # 10061\r\nConnection refused.\r\n"},
      {url, verified(servers.dir.file("cert.pem")) + viaProxy + kProxyPassword + "</ProxyPassword>", passed},
      {url, viaProxy + "wrong</ProxyPassword>",
       "[--:--:--] [ERRX] ENetHTTPProtocolException: HTTP/1.1 407 Proxy Authentication Required\r\n"},
  };
  ClearSource();
  WriteFile(Path("a.txt"), "a");
  std::filesystem::create_directories(State());
  const std::string ledger = Path("sent before.txt") + "\r\n";
  WriteFile(Ledger(), ledger);
  const auto ledgerTime = std::filesystem::last_write_time(Ledger());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    WriteConfig(c.url, c.options);
    const ProgramResult result = Run({"--check"});
    const std::string log = StripStamps(result.output);
    const std::string last = log.substr(log.rfind("[--:--:--]"));
    EXPECT_EQ(c.last, last.substr(0, c.last.size())) << log;
    EXPECT_EQ(c.last == passed ? 0 : 1, result.exitCode);
    EXPECT_EQ(ledger, ReadFile(Ledger()));
    EXPECT_TRUE(ledgerTime == std::filesystem::last_write_time(Ledger()));
  }
  // Neither nginx nor, through its tunnels, squid passed on a request.
  EXPECT_EQ("", Servers::ReadFileIfAny(servers.dir.file("access.log")));
  for (const std::string& line : proxy.Log(2)) EXPECT_EQ(std::string::npos, line.find("POST")) << line;
}

// Flask, busboy, Go and Tomcat answer a request with wrong credentials before they read
// its body, then close.
TEST_F(RealServerTest, Flask) { UploadToOneProcessServer("flask", "HTTP/1.1 401 UNAUTHORIZED"); }
// The table where busboy reads quoted names as UTF-8, as browsers send them; what its
// defaults make of them, where they differ.
TEST_F(RealServerTest, NodeWithBusboy) {
  UploadToOneProcessServer("busboy", "HTTP/1.1 401 Unauthorized",
                           {{"/utf8/upload", FileTable()}, {"/upload", BusboyDefaultTable()}});
}
TEST_F(RealServerTest, GoNetHttp) { UploadToOneProcessServer("go", "HTTP/1.0 401 Unauthorized"); }
// Refuses a part whose header passes 512 bytes after its boundary line.
TEST_F(RealServerTest, Tomcat) { UploadToOneProcessServer("tomcat", "HTTP/1.1 401 "); }

}  // namespace
}  // namespace qb::test
