// Form1 is the program's main window. It is never shown: its load handler
// does the program's whole job (it catalogues the SVG images of a folder
// into tev.xml) and then unloads the window. Beside the run it offers the
// text-file readers, and privately the creation of temporary files.
//
// The names Form1, File1, Form_Load, the txt_ operations and their
// parameters (sFilename, LineToRead) and sTempPath are those of the desktop
// program's window, its file list and its operations, kept on purpose:
// whoever knows that program finds each part here under its old name.
//
// Form1 does not own its Env, which must outlive it. Its members do not
// depend on one another; Form_Load's locals do, by their declaration order
// (see there, in form1.cc). Failures are thrown as Error
// (platform/error.h) and reach the caller unhandled.
#ifndef TEVGEN_APP_FORM1_H_
#define TEVGEN_APP_FORM1_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "app/catalogue_record.h"
#include "app/file_list.h"
#include "platform/env.h"

namespace tevgen {

class Form1 {
 public:
  static constexpr std::string_view kCaption = "XML generieren";

  // How many images are read at once unless the command line says.
  static constexpr unsigned kDefaultJobs = 64;

  // `directory` is the folder to catalogue: the program's own folder when
  // the program is started without arguments. `jobs` images are read at
  // once; with 1, one after another on the calling thread.
  Form1(Env& env, std::string directory, unsigned jobs = kDefaultJobs);

  // The load handler, the whole run: opens the folder once and, through
  // that one Folder, lists the folder's images into File1, builds one
  // record per image in list order and replaces <directory>/tev.xml with
  // the complete new catalogue in one atomic step.
  // On an error the old catalogue stays exactly as it was and no temporary
  // file is left behind; errors of the catalogue's file say "catalogue"
  // where the platform says "file". Returning is the window's unload, after
  // which the program ends.
  void Form_Load();

  // How many images the last Form_Load catalogued.
  size_t ImageCount() const { return File1.ListCount(); }

  // The text-file operations (these two and txt_GetTempFile) are part of
  // the window's interface and stay, though nothing in the program calls
  // them: the run reads images through ImageReader (see form1.cc). They
  // are reached through Form1 only, their work is in textfile/, and they
  // are tested at two levels: textfile/*_test.cc test the work,
  // form1_test.cc that each operation reaches it (txt_GetTempFile through
  // Form1TestPeer), and platform/env_windows_test.cc the Windows calls
  // behind txt_GetTempFile.

  // The whole content of the file `sFilename`; empty when there is no such
  // ordinary file.
  std::string txt_ReadAll(std::string sFilename);

  // Line `LineToRead` (1-based) of the file `sFilename` without its line
  // end; empty when there is no such file or line, or LineToRead < 1.
  std::string txt_ReadLine(std::string sFilename, int32_t LineToRead);

 private:
  friend class Form1TestPeer;

  // Creates a new, empty, uniquely named file in the system's temporary
  // folder and returns its full path. The run does not use it.
  std::string txt_GetTempFile();

  Env& env_;
  std::string directory_;
  unsigned jobs_;
  FileListBox File1{kImageExtension};  // The folder's images.
  std::string sTempPath;  // The temporary folder, once it has been asked for.
};

}  // namespace tevgen

#endif  // TEVGEN_APP_FORM1_H_
