// Test oracle: pxlib (an open-source Paradox library), loaded at run time so
// that the test build never depends on it. Load() returns nullptr when the
// library or its header is missing; tests that need it skip then.
#pragma once

#include <dlfcn.h>

#include <type_traits>

#if __has_include(<paradox.h>)
#include <paradox.h>
#define PXCRYPT_HAVE_PXLIB 1
#endif

namespace pxcrypt_test {

#ifdef PXCRYPT_HAVE_PXLIB

struct PxLib {
  decltype(&PX_new) newDoc = nullptr;
  decltype(&PX_delete) deleteDoc = nullptr;
  decltype(&PX_open_file) openFile = nullptr;
  decltype(&PX_create_file) createFile = nullptr;
  decltype(&PX_set_parameter) setParameter = nullptr;
  decltype(&PX_get_num_records) numRecords = nullptr;
  decltype(&PX_get_recordsize) recordSize = nullptr;
  decltype(&PX_get_record) getRecord = nullptr;
  decltype(&PX_put_record) putRecord = nullptr;
  decltype(&PX_close) close = nullptr;

  static const PxLib* Load() {
    static const PxLib* lib = []() -> const PxLib* {
      void* handle = dlopen("libpx.so.0", RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) return nullptr;
      static PxLib px;
      bool ok = true;
      auto bind = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
        ok = ok && fn != nullptr;
      };
      bind(px.newDoc, "PX_new");
      bind(px.deleteDoc, "PX_delete");
      bind(px.openFile, "PX_open_file");
      bind(px.createFile, "PX_create_file");
      bind(px.setParameter, "PX_set_parameter");
      bind(px.numRecords, "PX_get_num_records");
      bind(px.recordSize, "PX_get_recordsize");
      bind(px.getRecord, "PX_get_record");
      bind(px.putRecord, "PX_put_record");
      bind(px.close, "PX_close");
      return ok ? &px : nullptr;
    }();
    return lib;
  }
};

#else

struct PxLib {
  static const PxLib* Load() { return nullptr; }
};

#endif

}  // namespace pxcrypt_test
