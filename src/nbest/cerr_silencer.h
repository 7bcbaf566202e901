// Discards everything written to std::cerr while in scope. OpenFst logs
// its errors there; decoding reports them as values and must never let
// those lines reach standard error. Cheaper than CerrCapture (no string
// stream is built), for the per-word path where the text is not wanted.
#ifndef TAMSU_NBEST_CERR_SILENCER_H_
#define TAMSU_NBEST_CERR_SILENCER_H_

#include <iostream>
#include <streambuf>

namespace tamsu {

class CerrSilencer {
 public:
  CerrSilencer() : saved_(std::cerr.rdbuf(&discard_)) {}
  ~CerrSilencer() { std::cerr.rdbuf(saved_); }
  // Restoring the stream buffer twice would be wrong.
  CerrSilencer(const CerrSilencer &) = delete;
  CerrSilencer &operator=(const CerrSilencer &) = delete;

 private:
  // Accepts every character, so std::cerr never turns bad.
  class DiscardBuffer : public std::streambuf {
   protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char *, std::streamsize count) override {
      return count;
    }
  };

  DiscardBuffer discard_;  // constructed before saved_ takes its address
  std::streambuf *saved_;
};

}  // namespace tamsu

#endif  // TAMSU_NBEST_CERR_SILENCER_H_
