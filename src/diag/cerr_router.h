// Where OpenFst's messages go. OpenFst writes every message to std::cerr;
// one routing buffer, installed on std::cerr once per process, sends each
// thread's writes to that thread's own destination: through to the real
// standard error (the default), nowhere, or into a string. The scoped
// guards below set the calling thread's destination only, so threads that
// load, decode and train at once never see each other's messages, and no
// call swaps std::cerr's buffer. OpenFst after 1.8.5 logs through Abseil
// instead of std::cerr: this unit is the one place such a port changes.
#ifndef TAMSU_DIAG_CERR_ROUTER_H_
#define TAMSU_DIAG_CERR_ROUTER_H_

#include <string>

namespace tamsu {

// Makes OpenFst errors non-fatal (its default calls exit(1)): afterwards a
// failure sets the error property on its result and logs to std::cerr. Also
// installs the routing buffer on std::cerr, in front of the buffer found
// there. Does its work once per process however often and from however
// many threads it is called; call it at start-up (module init, test set-up)
// before other threads write to std::cerr.
void configure_openfst();

// What the calling thread's writes to std::cerr become.
enum class CerrRoute { kPassThrough, kDiscard, kCapture };
struct CerrDestination {
  CerrRoute route = CerrRoute::kPassThrough;
  std::string *text = nullptr;  // kCapture: appended to; not owned
};

// Sets the calling thread's destination and returns the one it replaces.
// Installs the router first if configure_openfst() has not run.
CerrDestination route_cerr_of_this_thread(CerrDestination destination);

// Discards what the calling thread writes to std::cerr while in scope.
// Other threads' writes are untouched. Guards nest: the innermost wins.
class CerrSilencer {
 public:
  CerrSilencer()
      : saved_(route_cerr_of_this_thread({CerrRoute::kDiscard, nullptr})) {}
  ~CerrSilencer() { route_cerr_of_this_thread(saved_); }
  // Restoring the saved destination twice would be wrong.
  CerrSilencer(const CerrSilencer &) = delete;
  CerrSilencer &operator=(const CerrSilencer &) = delete;

 private:
  CerrDestination saved_;
};

// Collects what the calling thread writes to std::cerr while in scope.
class CerrCapture {
 public:
  CerrCapture()
      : saved_(route_cerr_of_this_thread({CerrRoute::kCapture, &text_})) {}
  ~CerrCapture() { route_cerr_of_this_thread(saved_); }
  // The router holds a pointer to text_: neither copyable nor movable.
  CerrCapture(const CerrCapture &) = delete;
  CerrCapture &operator=(const CerrCapture &) = delete;

  const std::string &text() const { return text_; }

 private:
  std::string text_;  // declared before saved_: it must exist first
  CerrDestination saved_;
};

}  // namespace tamsu

#endif  // TAMSU_DIAG_CERR_ROUTER_H_
