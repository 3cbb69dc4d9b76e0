// Benchmark of tevgen against the floor of any catalogue run (read_floor).
//
//   tevgen_bench TEVGEN READ_FLOOR [--work DIR] [--runs N] [--corpus a|b|c]
//
// It makes its own corpora of numbered SVG images under the work folder
// (kept for later runs): (a) 10,000 images of realistic shape, (b) 100,000
// small images, (c) five images of 20 to 50 MB. On each it times tevgen and
// the floor alternately, warm cache, and prints medians, their ratio, the
// time per image, tevgen's peak memory, and the cost of the catalogue's
// durability steps (sync and rename) on their own.
#include <fcntl.h>
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
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kRatioTarget = 1.15;
constexpr double kLinearityTarget = 1.2;
constexpr size_t kMemoryPerName = 200;

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
    } else if (corpus.id == 'b') {
      std::uniform_int_distribution<size_t> size(300, 700);
      for (int i = 0; i < 100000; ++i) {
        std::snprintf(name, sizeof name, "%05d.svg", i);
        WriteFile(corpus.dir / name, MakeImage(random, size(random)));
      }
    } else {
      const size_t kMegabytes[] = {20, 27, 34, 42, 50};
      for (int i = 0; i < 5; ++i) {
        std::snprintf(name, sizeof name, "%d.svg", 9000 + i);
        WriteFile(corpus.dir / name,
                  MakeImage(random, kMegabytes[i] * 1000 * 1000));
      }
    }
    WriteFile(done, "");
  }
  for (const auto& entry : fs::directory_iterator(corpus.dir)) {
    if (entry.path().extension() != ".svg") continue;
    size_t size = entry.file_size();
    ++corpus.images;
    corpus.bytes += size;
    corpus.largest = std::max(corpus.largest, size);
  }
}

struct Measurement {
  double seconds;
  long peak_kb;
};

Measurement Run(const std::vector<std::string>& argv) {
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
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed (status %d)\n", argv[0].c_str(), status);
    std::exit(1);
  }
  return {seconds, usage.ru_maxrss};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle]
                           : (values[middle - 1] + values[middle]) / 2;
}

// The durability steps of a catalogue of `size` bytes in `dir`: sync the
// written file, rename it into place, sync the folder.
double DurabilitySeconds(const fs::path& dir, size_t size) {
  std::string staged = (dir / ".bench-staged").string();
  std::string target = (dir / ".bench-target").string();
  int fd = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::string chunk(64 * 1024, 'x');
  for (size_t written = 0; written < size; written += chunk.size()) {
    if (::write(fd, chunk.data(), std::min(chunk.size(), size - written)) < 0) {
      break;
    }
  }
  auto start = Clock::now();
  ::fsync(fd);
  ::close(fd);
  ::rename(staged.c_str(), target.c_str());
  int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ::fsync(dir_fd);
  ::close(dir_fd);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::unlink(target.c_str());
  return seconds;
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: tevgen_bench TEVGEN READ_FLOOR [--work DIR] "
                 "[--runs N] [--corpus a|b|c]\n");
    return 2;
  }
  std::string tevgen = fs::absolute(argv[1]).string();
  std::string floor = fs::absolute(argv[2]).string();
  fs::path work = "bench-corpus";
  int runs = 7;
  std::string only;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--work") work = argv[i + 1];
    if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--corpus") only = argv[i + 1];
  }
  work = fs::absolute(work);

  std::vector<Corpus> corpora = {
      {'a', "10,000 images of realistic shape", work / "a"},
      {'b', "100,000 small images", work / "b"},
      {'c', "5 images of 20 to 50 MB", work / "c"},
  };
  std::printf("tevgen benchmark on %s\n", Machine().c_str());
  std::printf(
      "medians of %d runs each, tevgen and floor alternating, warm "
      "cache\n\n",
      runs);

  long baseline_kb = Run({tevgen, "--version"}).peak_kb;
  double per_image_a = 0;
  double per_image_b = 0;
  bool all_met = true;
  for (Corpus& corpus : corpora) {
    if (!only.empty() && only.find(corpus.id) == std::string::npos) continue;
    Prepare(corpus);
    // Warm the cache and leave a catalogue in place, as after earlier runs.
    Run({tevgen, corpus.dir.string()});
    Run({floor, corpus.dir.string()});
    std::vector<double> tevgen_times;
    std::vector<double> floor_times;
    std::vector<double> durability_times;
    long peak_kb = 0;
    size_t catalogue_size = fs::file_size(corpus.dir / "tev.xml");
    for (int i = 0; i < runs; ++i) {
      Measurement run = Run({tevgen, corpus.dir.string()});
      tevgen_times.push_back(run.seconds);
      peak_kb = std::max(peak_kb, run.peak_kb);
      floor_times.push_back(Run({floor, corpus.dir.string()}).seconds);
      durability_times.push_back(DurabilitySeconds(corpus.dir, catalogue_size));
    }
    double tevgen_median = Median(tevgen_times);
    double floor_median = Median(floor_times);
    double ratio = tevgen_median / floor_median;
    double per_image = tevgen_median / static_cast<double>(corpus.images);
    if (corpus.id == 'a') per_image_a = per_image;
    if (corpus.id == 'b') per_image_b = per_image;
    double net_mb = static_cast<double>(peak_kb - baseline_kb) / 1024;
    double budget_mb = static_cast<double>(2 * corpus.largest +
                                           kMemoryPerName * corpus.images) /
                       (1024 * 1024);

    std::printf("(%c) %s: %zu images, %.1f MB, largest %.1f KB\n", corpus.id,
                corpus.description, corpus.images,
                static_cast<double>(corpus.bytes) / 1e6,
                static_cast<double>(corpus.largest) / 1e3);
    std::printf("  tevgen       %9.1f ms\n", tevgen_median * 1e3);
    std::printf("  floor        %9.1f ms\n", floor_median * 1e3);
    std::printf("  ratio        %9.3f", ratio);
    if (corpus.id != 'c') {
      bool met = ratio <= kRatioTarget;
      all_met &= met;
      std::printf("   target <= %.2f: %s", kRatioTarget, Verdict(met));
    }
    std::printf("\n  per image    %9.2f us\n", per_image * 1e6);
    bool memory_met = net_mb <= budget_mb;
    all_met &= memory_met;
    std::printf(
        "  peak memory  %9.1f MB above the %.1f MB of a bare start "
        "(%.1f MB in all); budget %.1f MB: %s\n",
        net_mb, static_cast<double>(baseline_kb) / 1024,
        static_cast<double>(peak_kb) / 1024, budget_mb, Verdict(memory_met));
    std::printf(
        "  durability   %9.2f ms for sync and rename of the %.1f KB "
        "catalogue (part of tevgen's time)\n\n",
        Median(durability_times) * 1e3,
        static_cast<double>(catalogue_size) / 1e3);
  }
  if (per_image_a > 0 && per_image_b > 0) {
    double growth = per_image_b / per_image_a;
    bool met = growth <= kLinearityTarget;
    all_met &= met;
    std::printf("time per image, (b) over (a): %.3f   target <= %.2f: %s\n",
                growth, kLinearityTarget, Verdict(met));
  }
  std::printf("%s\n", all_met ? "all targets met" : "some targets MISSED");
  return 0;
}
