#include "platform/message/reader_pool.h"

#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/XMLUni.hpp>

PooledReader::PooledReader() : reader(xercesc::XMLReaderFactory::createXMLReader()) {
  security.setEntityExpansionLimit(16);
  reader->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
  reader->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
  reader->setFeature(xercesc::XMLUni::fgXercesLoadExternalDTD, false);
  reader->setFeature(xercesc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
  reader->setProperty(xercesc::XMLUni::fgXercesSecurityManager, &security);
  // Character data comes in pieces of this size, not as one buffer of the whole value.
  reader->setInputBufferSize(64u << 10);
}

std::unique_ptr<PooledReader> ReaderPool::Take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<PooledReader> r = std::move(idle_.back());
      idle_.pop_back();
      return r;
    }
  }
  return std::make_unique<PooledReader>();
}

void ReaderPool::Give(std::unique_ptr<PooledReader> r) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(r));
}

ReaderPool& Readers() {
  static ReaderPool pool;
  return pool;
}
