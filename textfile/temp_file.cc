#include "textfile/temp_file.h"

namespace tevgen {

std::string CreateTempFile(Env& env, std::string& temp_path) {
  if (temp_path.empty()) temp_path = env.TempDirectory();
  return env.CreateUniqueFile(temp_path, "txt");
}

}  // namespace tevgen
