// SAX2 readers set up for message texts, kept between texts. A reader serves one parse at a time:
// a text read from inside another's handler (or on another thread) takes a reader of its own, so
// in steady state every thread reuses one. Readers() is thread-safe; a PooledReader is used by
// one thread at a time. The pool must first be reached after EnsureXercesPlatform() returned
// true (xerces_platform.h): as a function-local static it is then destroyed before the platform
// terminates.
#pragma once

#include <memory>
#include <mutex>
#include <vector>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/util/SecurityManager.hpp>

// A reader without namespaces, validation, external DTDs or default entity resolution, at most 16
// entity expansions, handing character data over in pieces of 64 KiB; with the security manager
// it points to.
struct PooledReader {
  xercesc::SecurityManager security;
  std::unique_ptr<xercesc::SAX2XMLReader> reader;

  PooledReader();
  ~PooledReader() { reader.reset(); }  // before the security manager it points to
};

class ReaderPool {
 public:
  // An idle reader, or a new one.
  std::unique_ptr<PooledReader> Take();
  // Keeps `r` for a later Take (up to a few idle ones). Only a reader whose state is known: one
  // that finished or was stopped by its handler, not one a parse threw out of otherwise.
  void Give(std::unique_ptr<PooledReader> r);

 private:
  static constexpr size_t kMaxIdle = 16;
  std::mutex mutex_;
  std::vector<std::unique_ptr<PooledReader>> idle_;
};

ReaderPool& Readers();
