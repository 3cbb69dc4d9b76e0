// Benchmark of tevgen against the floor of any catalogue run (read_floor).
//
//   tevgen_bench TEVGEN READ_FLOOR [--work DIR] [--runs N]
//                [--corpus abcrvsm] [--mode warm,cold,share,shared,watch]
//                [--share SLOW_SHARE] [--delay-us N] [--ideal IDEAL_READER]
//
// It makes its own corpora of numbered SVG images under the work folder
// (kept for later runs): (a) 10,000 images of realistic shape, (b) 100,000
// small images, (c) five images of 40 MB, (r) the real collection of
// Debian's openclipart-svg package, renumbered so that every category is
// hit, (v) one image whose sizes are 20 MB of "&", (s) a sparse image of
// 3 GB whose sizes stand in its first bytes, and on request (m) a million
// small images. It times tevgen and the floor alternately and prints
// medians, their ratio, the time per image and tevgen's peak memory, and
// those of tevgen --check against the run, in up to three modes: warm
// cache; cold cache (the page cache dropped before every run, root only);
// and a network share (the corpus mounted through slow_share, which delays
// every request). With --ideal it also times the ideal parallel reader
// (bench/ideal_reader.cc: the images' heads read on as many threads as
// processors, nothing else) and tevgen against it, and tevgen -j 1 against
// it on one thread. The mode "shared" (root only) runs on a copy of each
// corpus in a folder of mode 1777 whose images belong to another user
// (65534), the careful way every image is opened there. On request (--mode
// watch) it
// measures tevgen --watch: how soon the catalogue reflects a burst of
// changes, how many runs 10,000 images copied in at full speed cause, and
// the processor time it takes while nothing changes.

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The ratio targets, per mode and corpus.
struct Target {
  const char* mode;
  char corpus;
  double ratio;
};
constexpr Target kTargets[] = {
    {"warm", 'a', 0.40},  {"warm", 'r', 0.40}, {"warm", 'b', 0.45},
    {"warm", 'm', 0.55},  {"warm", 'v', 2.0},  {"cold", 'r', 0.22},
    {"share", 'r', 0.03},
};
// Against the ideal parallel reader: tevgen by default on all processors,
// and -j 1 against the reader on one thread (corpus '*': every corpus).
constexpr Target kIdealTargets[] = {
    {"warm", 'r', 1.0},   {"cold", 'r', 1.05},  {"warm", 'b', 1.05},
    {"warm", 'm', 1.15},  {"shared", 'r', 1.3}, {"shared", 'b', 1.3},
    {"shared", 'm', 1.3},
};
constexpr double kSingleIdealTarget = 1.1;
constexpr uid_t kOtherUser = 65534;
constexpr double kLinearityTarget = 1.2;
// tevgen --check reads what a run reads: its time over the run's.
constexpr double kCheckTarget = 1.1;
constexpr double kSparseSeconds = 1.0;
constexpr size_t kMemoryBase = 16 * 1024 * 1024;
constexpr size_t kMemoryPerName = 200;
constexpr double kWatchLatencySeconds = 1.0;
constexpr int kWatchBursts = 100;
constexpr int kWatchHandfulOfRuns = 10;

const char* const kRealCollection = "/usr/share/openclipart/svg";

struct Corpus {
  char id;
  const char* description;
  fs::path dir;
  size_t images = 0;
  size_t bytes = 0;
  size_t largest = 0;
};

// An SVG of about `size` bytes whose root element carries its size near the
// top; some values have no decimal point, as in real collections.
std::string MakeImage(std::mt19937& random, size_t size) {
  std::uniform_int_distribution<int> dimension(16, 1200);
  std::uniform_int_distribution<int> fraction(0, 99);
  std::uniform_int_distribution<int> coordinate(0, 999);
  bool plain = fraction(random) < 15;
  auto value = [&](int number) {
    std::string text = std::to_string(number);
    if (!plain) {
      text += '.';
      text += std::to_string(fraction(random));
    }
    return text;
  };
  int width = dimension(random);
  int height = dimension(random);
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
      value(width) + "\" height=\"" + value(height) + "\" viewBox=\"0 0 " +
      std::to_string(width) + " " + std::to_string(height) + "\">\n";
  while (svg.size() + 7 < size) {
    svg += "  <path fill=\"#3a7bd5\" stroke=\"#222\" d=\"M" +
           std::to_string(coordinate(random)) + " " +
           std::to_string(coordinate(random)) + " L" +
           std::to_string(coordinate(random)) + " " +
           std::to_string(coordinate(random)) + " Z\"/>\n";
  }
  svg += "</svg>\n";
  return svg;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Makes the corpus unless a complete one is there already.
void Prepare(Corpus& corpus) {
  fs::path done = corpus.dir / ".complete";
  if (!fs::exists(done)) {
    std::printf("making corpus (%c) in %s ...\n", corpus.id,
                corpus.dir.c_str());
    std::fflush(stdout);
    fs::remove_all(corpus.dir);
    fs::create_directories(corpus.dir);
    std::mt19937 random(corpus.id);
    char name[32];
    if (corpus.id == 'a') {
      // Log-normal sizes, median 7 KB, from a few hundred bytes to a few
      // hundred kilobytes.
      std::lognormal_distribution<double> size(std::log(7000.0), 1.1);
      for (int i = 0; i < 10000; ++i) {
        std::snprintf(name, sizeof name, "%04d.svg", i);
        size_t bytes = std::clamp<size_t>(static_cast<size_t>(size(random)),
                                          300, 400 * 1000);
        WriteFile(corpus.dir / name, MakeImage(random, bytes));
      }
    } else if (corpus.id == 'b' || corpus.id == 'm') {
      int count = corpus.id == 'b' ? 100000 : 1000000;
      std::uniform_int_distribution<size_t> size(300, 700);
      for (int i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name,
                      corpus.id == 'b' ? "%05d.svg" : "%07d.svg", i);
        WriteFile(corpus.dir / name, MakeImage(random, size(random)));
      }
    } else if (corpus.id == 'c') {
      for (int i = 0; i < 5; ++i) {
        std::snprintf(name, sizeof name, "%d.svg", 9000 + i);
        WriteFile(corpus.dir / name, MakeImage(random, 40 * 1000 * 1000));
      }
    } else if (corpus.id == 'r') {
      // The real collection, numbered in name order across 0 to 9999.
      std::vector<fs::path> images;
      for (const auto& entry :
           fs::recursive_directory_iterator(kRealCollection)) {
        if (entry.is_regular_file() && !entry.is_symlink() &&
            entry.path().extension() == ".svg") {
          images.push_back(entry.path());
        }
      }
      std::sort(images.begin(), images.end());
      for (size_t i = 0; i < images.size(); ++i) {
        std::snprintf(name, sizeof name, "%04zu.svg",
                      i * 10000 / images.size());
        fs::copy_file(images[i], corpus.dir / name);
      }
    } else if (corpus.id == 'v') {
      // Sizes just within the longest a size may be (4 KiB), copied from
      // their images and escaped: 40 MB of them, as one image of two
      // 20 MB sizes had before there was a longest.
      std::string amps(4000, '&');
      for (int i = 0; i < 5000; ++i) {
        WriteFile(corpus.dir / (std::to_string(i) + ".svg"),
                  "<svg width=\"" + amps + ".5\" height=\"" + amps + ".5\"/>");
      }
    } else if (corpus.id == 's') {
      std::string path = (corpus.dir / "2.svg").string();
      WriteFile(path, "<svg width=\"64.5\" height=\"48.5\">");
      fs::resize_file(path, 3ull * 1000 * 1000 * 1000);
    }
    WriteFile(done, "");
  }
  corpus.images = corpus.bytes = corpus.largest = 0;
  for (const auto& entry : fs::directory_iterator(corpus.dir)) {
    if (entry.path().extension() != ".svg") continue;
    struct stat st;
    ::stat(entry.path().c_str(), &st);
    // Blocks, not the length: a sparse image takes no room.
    size_t size = std::min<size_t>(entry.file_size(),
                                   static_cast<size_t>(st.st_blocks) * 512);
    ++corpus.images;
    corpus.bytes += size;
    corpus.largest = std::max(corpus.largest, size);
  }
}

struct Measurement {
  double seconds;
  long peak_kb;
};

// Empties the page cache, so that the next run reads from the disk.
void DropCaches() {
  ::sync();
  std::ofstream("/proc/sys/vm/drop_caches") << "3\n";
}

bool CanDropCaches() {
  return ::geteuid() == 0 && ::access("/proc/sys/vm/drop_caches", W_OK) == 0;
}

// `findings_ok`: exit status 1 is an answer, not a failure (tevgen
// --check that found something).
Measurement Run(const std::vector<std::string>& argv, bool cold = false,
                bool findings_ok = false) {
  if (cold) DropCaches();
  auto start = Clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage;
  ::wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 &&
                             !(findings_ok && WEXITSTATUS(status) == 1))) {
    std::fprintf(stderr, "%s failed (status %d)\n", argv[0].c_str(), status);
    std::exit(1);
  }
  return {seconds, usage.ru_maxrss};
}

// A copy of `source` in `copy`, a folder of mode 1777 like /tmp, whose
// images belong to kOtherUser: as if another user had filled it. Kept
// while the source is unchanged.
fs::path SharedCopy(const fs::path& source, const fs::path& copy) {
  fs::path done = copy / ".complete";
  if (!fs::exists(done) ||
      fs::last_write_time(done) < fs::last_write_time(source / ".complete")) {
    std::printf("copying %s to %s, owned by user %u ...\n", source.c_str(),
                copy.c_str(), kOtherUser);
    std::fflush(stdout);
    fs::remove_all(copy);
    fs::create_directories(copy);
    for (const fs::directory_entry& entry : fs::directory_iterator(source)) {
      std::string name = entry.path().filename().string();
      if (!name.ends_with(".svg")) continue;
      fs::path to = copy / name;
      fs::copy_file(entry.path(), to);
      if (::lchown(to.c_str(), kOtherUser, kOtherUser) != 0) std::exit(1);
    }
    if (::chown(copy.c_str(), kOtherUser, kOtherUser) != 0) std::exit(1);
    fs::permissions(copy, fs::perms(01777));
    WriteFile(done, "");
  }
  return copy;
}

// A corpus mounted through slow_share for the life of the object.
class SlowShare {
 public:
  SlowShare(const std::string& program, const fs::path& source,
            const fs::path& mount_point, int delay_us)
      : mount_point_(mount_point) {
    fs::create_directories(mount_point);
    struct stat before;
    ::stat(mount_point.c_str(), &before);
    pid_ = ::fork();
    if (pid_ == 0) {
      std::string delay = std::to_string(delay_us);
      ::execl(program.c_str(), program.c_str(), source.c_str(),
              mount_point.c_str(), delay.c_str(), "-f", "-o", "max_threads=64",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Mounted once the mount point is another file system.
    for (int i = 0; i < 500; ++i) {
      struct stat now;
      if (::stat(mount_point.c_str(), &now) == 0 &&
          now.st_dev != before.st_dev) {
        mounted_ = true;
        return;
      }
      ::usleep(10000);
    }
  }
  ~SlowShare() {
    ::umount2(mount_point_.c_str(), MNT_DETACH);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path mount_point_;
  pid_t pid_ = -1;
  bool mounted_ = false;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle]
                           : (values[middle - 1] + values[middle]) / 2;
}

std::string Machine() {
  std::string cpu = "unknown CPU";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  struct utsname system;
  ::uname(&system);
  return cpu + ", " + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) +
         " cores, Linux " + system.release;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(
                  std::ceil(fraction * static_cast<double>(values.size()))) -
              1;
  return values[std::min(at, values.size() - 1)];
}

// tevgen --watch over one folder, the catalogue's replacements seen
// through inotify.
class WatchedFolder {
 public:
  WatchedFolder(const std::string& tevgen, const fs::path& dir) : dir_(dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    events_ = ::inotify_init1(IN_CLOEXEC);
    // IN_MOVED_FROM too (the staged file's name): the kernel merges an
    // event with the same one unread before it, and so would merge the
    // replacements of tev.xml into one.
    ::inotify_add_watch(events_, dir.c_str(), IN_MOVED_FROM | IN_MOVED_TO);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(tevgen.c_str(), tevgen.c_str(), "--watch", dir.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    WaitForRun();
  }
  ~WatchedFolder() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    ::close(events_);
  }

  // Blocks until the catalogue is replaced again; counts the runs.
  void WaitForRun() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      ssize_t length = ::read(events_, buffer, sizeof buffer);
      bool replaced = false;
      for (char* at = buffer; length > 0 && at < buffer + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        if ((event->mask & IN_MOVED_TO) && event->len > 0 &&
            std::strcmp(event->name, "tev.xml") == 0) {
          ++runs_;
          replaced = true;
        }
      }
      if (replaced) return;
    }
  }
  // Waits until the catalogue lists image `number`.
  void WaitUntilListed(int number) {
    std::string record = "<tev id=\"" + std::to_string(number) + "\"";
    for (;;) {
      std::ifstream in(dir_ / "tev.xml", std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      if (text.find(record) != std::string::npos) return;
      WaitForRun();
    }
  }
  // The watch's processor time and peak memory so far.
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  long PeakKb() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
  }
  // The runs so far, those not yet waited for among them.
  int runs() {
    pollfd pending{events_, POLLIN, 0};
    while (::poll(&pending, 1, 0) > 0) WaitForRun();
    return runs_;
  }
  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
  int events_ = -1;
  pid_t pid_ = -1;
  int runs_ = 0;
};

// The watch's targets: the catalogue reflects a burst within a second of
// its end; a copy of 10,000 images causes a handful of runs.
bool BenchWatch(const std::string& tevgen, const fs::path& work,
                const Corpus& copied) {
  std::printf("== watch\n\n");
  bool all_met = true;
  std::mt19937 random(7);
  {
    WatchedFolder watched(tevgen, work / "watch");
    std::vector<double> latencies;
    int number = 0;
    for (int burst = 0; burst < kWatchBursts; ++burst) {
      for (int i = 0; i < 5; ++i) {
        std::ofstream(watched.dir() / (std::to_string(++number) + ".svg"))
            << MakeImage(random, 2000);
      }
      auto end = Clock::now();
      watched.WaitUntilListed(number);
      latencies.push_back(
          std::chrono::duration<double>(Clock::now() - end).count());
    }
    double median = Median(latencies);
    double p99 = Percentile(latencies, 0.99);
    bool met = p99 <= kWatchLatencySeconds;
    all_met &= met;
    std::printf(
        "%d bursts of 5 new images: the catalogue lists the last one\n"
        "  after the burst's end: median %.0f ms, 99th percentile %.0f ms"
        "   target <= %.0f ms: %s\n  runs: %d (the first included)\n",
        kWatchBursts, median * 1e3, p99 * 1e3, kWatchLatencySeconds * 1e3,
        Verdict(met), watched.runs());
    double cpu_before = watched.CpuSeconds();
    ::sleep(3);
    std::printf("  processor time in 3 s without changes: %.2f s\n\n",
                watched.CpuSeconds() - cpu_before);
  }
  {
    WatchedFolder watched(tevgen, work / "watch");
    int first_runs = watched.runs();
    auto start = Clock::now();
    int last = 0;
    for (const auto& entry : fs::directory_iterator(copied.dir)) {
      if (entry.path().extension() != ".svg") continue;
      fs::copy_file(entry.path(), watched.dir() / entry.path().filename());
      last = std::max(last, std::stoi(entry.path().stem().string()));
    }
    double copy_seconds =
        std::chrono::duration<double>(Clock::now() - start).count();
    watched.WaitUntilListed(last);
    ::sleep(3);  // a run still to come would come within this
    int runs = watched.runs() - first_runs;
    bool met = runs <= kWatchHandfulOfRuns;
    all_met &= met;
    std::printf(
        "%zu images copied in (%s) in %.1f s: %d runs"
        "   target <= %d: %s\n  peak memory of the watch %.1f MB\n\n",
        copied.images, copied.description, copy_seconds, runs,
        kWatchHandfulOfRuns, Verdict(met),
        static_cast<double>(watched.PeakKb()) / 1024);
  }
  fs::remove_all(work / "watch");
  return all_met;
}

struct Mode {
  std::string name;
  std::string corpora;  // the corpora it runs on by default
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: tevgen_bench TEVGEN READ_FLOOR [--work DIR] "
                 "[--runs N] [--corpus abcrvsm] [--mode warm,cold,share] "
                 "[--share SLOW_SHARE] [--delay-us N] [--ideal "
                 "IDEAL_READER]\n");
    return 2;
  }
  std::string tevgen = fs::absolute(argv[1]).string();
  std::string floor = fs::absolute(argv[2]).string();
  fs::path work = "bench-corpus";
  int runs = 7;
  std::string only;
  std::string modes = "warm,cold,share";
  std::string share_program;
  int delay_us = 1000;
  std::string ideal;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--work") work = argv[i + 1];
    if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--corpus") only = argv[i + 1];
    if (option == "--mode") modes = argv[i + 1];
    if (option == "--share") share_program = fs::absolute(argv[i + 1]);
    if (option == "--delay-us") delay_us = std::atoi(argv[i + 1]);
    if (option == "--ideal") ideal = fs::absolute(argv[i + 1]);
  }
  work = fs::absolute(work);

  std::vector<Corpus> corpora = {
      {'a', "10,000 images of realistic shape", work / "a"},
      {'b', "100,000 small images", work / "b"},
      {'c', "5 images of 40 MB", work / "c"},
      {'r', "the real collection (openclipart-svg)", work / "r"},
      // Not "v": a corpus of the earlier kind may be kept there.
      {'v', "5,000 images whose sizes are 4,000 '&'", work / "v4k"},
      {'s', "a sparse image of 3 GB, sizes in its first bytes", work / "s"},
      {'m', "a million small images", work / "m"},
  };
  const Mode kModes[] = {
      {"warm", "abcrvs"},
      {"cold", "ar"},
      {"share", "r"},
      {"shared", "br"},
  };
  std::printf("tevgen benchmark on %s\n", Machine().c_str());
  std::printf(
      "medians of %d runs each (3 on the share), tevgen and floor "
      "alternating\n\n",
      runs);

  long baseline_kb = Run({tevgen, "--version"}).peak_kb;
  double per_image_a = 0;
  double per_image_b = 0;
  bool all_met = true;
  for (const Mode& mode : kModes) {
    // Whole names: "share" is not "shared".
    if (("," + modes + ",").find("," + mode.name + ",") == std::string::npos) {
      continue;
    }
    bool cold = mode.name == "cold";
    bool share = mode.name == "share";
    bool shared = mode.name == "shared";
    if (shared && ::geteuid() != 0) {
      std::printf(
          "== shared folder: skipped, giving the images to another user "
          "needs root\n\n");
      continue;
    }
    if (cold && !CanDropCaches()) {
      std::printf(
          "== cold cache: skipped, dropping the page cache needs "
          "root\n\n");
      continue;
    }
    if (share && (share_program.empty() || !fs::exists(share_program) ||
                  ::access("/dev/fuse", R_OK | W_OK) != 0)) {
      std::printf(
          "== share: skipped, it needs /dev/fuse and slow_share "
          "(--share)\n\n");
      continue;
    }
    std::printf("== %s%s\n\n", mode.name.c_str(),
                share ? (", every request delayed by " +
                         std::to_string(delay_us) + " us")
                            .c_str()
                      : "");
    int mode_runs = share ? std::min(runs, 3) : runs;
    for (Corpus& corpus : corpora) {
      bool wanted = only.empty()
                        ? mode.corpora.find(corpus.id) != std::string::npos
                        : only.find(corpus.id) != std::string::npos;
      if (!wanted) continue;
      Prepare(corpus);
      // What making the corpus took must not count as the runs' memory: a
      // child starts with the memory its parent holds.
      ::malloc_trim(0);
      std::unique_ptr<SlowShare> mount;
      fs::path dir = corpus.dir;
      if (shared) {
        dir = SharedCopy(corpus.dir,
                         work / (std::string(1, corpus.id) + "-shared"));
      }
      if (share) {
        dir = work / "share";
        mount = std::make_unique<SlowShare>(share_program, corpus.dir, dir,
                                            delay_us);
        if (!mount->mounted()) {
          std::printf("(%c) skipped: slow_share did not mount\n\n", corpus.id);
          continue;
        }
      }
      // Leave a catalogue in place, as after earlier runs, and warm up:
      // twice, so that what an earlier mode or corpus left in the cache (or
      // took from it) is settled before the first run that counts.
      for (int warm_up = 0; warm_up < 2; ++warm_up) {
        Run({tevgen, dir.string()});
        if (!share) Run({floor, dir.string()});
      }
      Run({tevgen, "--check", dir.string()}, false, true);
      std::vector<double> tevgen_times;
      std::vector<double> floor_times;
      std::vector<double> check_times;
      std::vector<double> ideal_times;
      std::vector<double> single_times;
      std::vector<double> ideal_single_times;
      // The careful ideal (shared only), on all processors and on one.
      std::vector<double> careful_times;
      std::vector<double> careful_single_times;
      long peak_kb = 0;
      long check_peak_kb = 0;
      for (int i = 0; i < mode_runs; ++i) {
        Measurement run = Run({tevgen, dir.string()}, cold);
        tevgen_times.push_back(run.seconds);
        peak_kb = std::max(peak_kb, run.peak_kb);
        floor_times.push_back(Run({floor, dir.string()}, cold).seconds);
        Measurement check = Run({tevgen, "--check", dir.string()}, cold, true);
        check_times.push_back(check.seconds);
        check_peak_kb = std::max(check_peak_kb, check.peak_kb);
        // Not through the share, where 64 threads are the point; -j 1 on a
        // warm cache only, where one thread is what it measures.
        if (!ideal.empty() && !share) {
          ideal_times.push_back(Run({ideal, dir.string()}, cold).seconds);
        }
        if (!ideal.empty() && !share && !cold) {
          single_times.push_back(
              Run({tevgen, "-j", "1", dir.string()}).seconds);
          ideal_single_times.push_back(Run({ideal, dir.string(), "1"}).seconds);
        }
        if (!ideal.empty() && shared) {
          careful_times.push_back(
              Run({ideal, "--careful", dir.string()}).seconds);
          careful_single_times.push_back(
              Run({ideal, "--careful", dir.string(), "1"}).seconds);
        }
      }
      double tevgen_median = Median(tevgen_times);
      double floor_median = Median(floor_times);
      double ratio = tevgen_median / floor_median;
      double per_image = tevgen_median / static_cast<double>(corpus.images);
      if (!cold && !share && corpus.id == 'a') per_image_a = per_image;
      if (!cold && !share && corpus.id == 'b') per_image_b = per_image;
      double net_mb = static_cast<double>(peak_kb - baseline_kb) / 1024;
      double budget_mb =
          static_cast<double>(kMemoryBase + kMemoryPerName * corpus.images) /
          (1024 * 1024);

      std::printf("(%c) %s: %zu images, %.1f MB, largest %.1f KB\n", corpus.id,
                  corpus.description, corpus.images,
                  static_cast<double>(corpus.bytes) / 1e6,
                  static_cast<double>(corpus.largest) / 1e3);
      std::printf("  tevgen       %9.1f ms\n", tevgen_median * 1e3);
      std::printf("  floor        %9.1f ms\n", floor_median * 1e3);
      std::printf("  ratio        %9.3f", ratio);
      for (const Target& target : kTargets) {
        if (target.mode != mode.name || target.corpus != corpus.id) continue;
        bool met = ratio <= target.ratio;
        all_met &= met;
        std::printf("   target <= %.2f: %s", target.ratio, Verdict(met));
      }
      if (corpus.id == 's') {
        bool met = tevgen_median < kSparseSeconds;
        all_met &= met;
        std::printf("   target tevgen < %.0f s: %s", kSparseSeconds,
                    Verdict(met));
      }
      double check_ratio = Median(check_times) / tevgen_median;
      bool check_met = check_ratio <= kCheckTarget;
      all_met &= check_met;
      std::printf(
          "\n  check        %9.1f ms   over tevgen %.3f   target <= %.2f: %s",
          Median(check_times) * 1e3, check_ratio, kCheckTarget,
          Verdict(check_met));
      if (!ideal_times.empty()) {
        double ideal_ratio = tevgen_median / Median(ideal_times);
        std::printf("\n  ideal        %9.1f ms   tevgen over it %.3f",
                    Median(ideal_times) * 1e3, ideal_ratio);
        for (const Target& target : kIdealTargets) {
          if (target.mode != mode.name || target.corpus != corpus.id) continue;
          bool met = ideal_ratio <= target.ratio;
          all_met &= met;
          std::printf("   target <= %.2f: %s", target.ratio, Verdict(met));
        }
      }
      if (!careful_times.empty()) {
        // What no program can beat there without opening a file before
        // judging it (doc/performance.md says why).
        std::printf("\n  careful ideal %8.1f ms   tevgen over it %.3f",
                    Median(careful_times) * 1e3,
                    tevgen_median / Median(careful_times));
        std::printf("\n  -j 1 careful %9.1f ms   tevgen -j 1 over it %.3f",
                    Median(careful_single_times) * 1e3,
                    Median(single_times) / Median(careful_single_times));
      }
      if (!single_times.empty()) {
        double single_ratio = Median(single_times) / Median(ideal_single_times);
        bool single_met = single_ratio <= kSingleIdealTarget;
        all_met &= single_met;
        std::printf(
            "\n  -j 1         %9.1f ms   ideal on one thread %.1f ms, "
            "over it %.3f   target <= %.2f: %s",
            Median(single_times) * 1e3, Median(ideal_single_times) * 1e3,
            single_ratio, kSingleIdealTarget, Verdict(single_met));
      }
      std::printf("\n  per image    %9.2f us\n", per_image * 1e6);
      double check_net_mb =
          static_cast<double>(check_peak_kb - baseline_kb) / 1024;
      bool memory_met = net_mb <= budget_mb && check_net_mb <= budget_mb;
      all_met &= memory_met;
      std::printf(
          "  peak memory  %9.1f MB above the %.1f MB of a bare start "
          "(%.1f MB in all), the check's %.1f MB; budget %.1f MB: %s\n\n",
          net_mb, static_cast<double>(baseline_kb) / 1024,
          static_cast<double>(peak_kb) / 1024, check_net_mb, budget_mb,
          Verdict(memory_met));
    }
  }
  if (modes.find("watch") != std::string::npos) {
    Prepare(corpora[0]);
    all_met &= BenchWatch(tevgen, work, corpora[0]);
  }
  if (per_image_a > 0 && per_image_b > 0) {
    double growth = per_image_b / per_image_a;
    bool met = growth <= kLinearityTarget;
    all_met &= met;
    std::printf(
        "time per image, (b) over (a), warm: %.3f   target <= %.2f: "
        "%s\n",
        growth, kLinearityTarget, Verdict(met));
  }
  std::printf("%s\n", all_met ? "all targets met" : "some targets MISSED");
  return 0;
}
