// Captures everything written to std::cerr while in scope. OpenFst reports
// every error there; the system must never let those lines reach the
// process's standard error.
#ifndef TAMSU_MODEL_CERR_CAPTURE_H_
#define TAMSU_MODEL_CERR_CAPTURE_H_

#include <iostream>
#include <sstream>
#include <string>

namespace tamsu {

class CerrCapture {
 public:
  CerrCapture() : saved_(std::cerr.rdbuf(captured_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(saved_); }
  // Restoring the stream buffer twice would be wrong.
  CerrCapture(const CerrCapture &) = delete;
  CerrCapture &operator=(const CerrCapture &) = delete;

  std::string text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf *saved_;
};

}  // namespace tamsu

#endif  // TAMSU_MODEL_CERR_CAPTURE_H_
