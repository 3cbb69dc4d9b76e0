// Gives tests access to the main window's private temporary-file operation.
#ifndef TEVGEN_TEST_FORM1_TEST_PEER_H_
#define TEVGEN_TEST_FORM1_TEST_PEER_H_

#include <string>

#include "app/form1.h"

namespace tevgen {

class Form1TestPeer {
 public:
  static std::string GetTempFile(Form1& form) { return form.txt_GetTempFile(); }
  static const std::string& TempPath(const Form1& form) {
    return form.sTempPath;
  }
};

}  // namespace tevgen

#endif  // TEVGEN_TEST_FORM1_TEST_PEER_H_
