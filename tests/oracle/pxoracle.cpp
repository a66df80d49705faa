// pxoracle: reads and writes Paradox tables through pxlib, so that tests can
// check the engine against an implementation of the format it shares no
// code with.
//
//   pxoracle dump TABLE.db [--no-blobs]
//       Every record as CSV, in the format of `quarry dump`. Numbers and
//       money print in the shortest form that reads back as the same double
//       (std::to_chars: "12", "0.1", but also "1e+05" and "1e-07" where the
//       exponent form is shorter). Bytes fields are NULL when all zero. Text
//       bytes the code page does not define become U+FFFD. BCD digits above
//       9, which real files hold past the 17th digit, print as pxlib gives
//       them (':' to '?') with a warning. --no-blobs prints blob fields empty.
//   pxoracle write TABLE.db --seed N --rows N [--fields "NAME TYPE [SIZE]; ..."] [--key K]
//       A level-7 cp1252 table (pxlib writes no other kind) with random
//       content fixed by the seed; with --key the first K fields form the
//       primary key and a .PX is written. Header bytes pxlib fills with
//       memory addresses and the time differ from run to run; the records
//       do not.
//   pxoracle gen-bench TABLE.db [--rows N]
//       The benchmark table: NAME A20, VALUE N, COUNT I, DAY D, PRICE $, FLAG L.
//
// Exit status: 0 done, 2 bad arguments or a table pxlib cannot open, 3 pxlib
// failed part way.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "oracle.h"

namespace {

// The default table of `write`: every type pxlib writes well, blobs aside.
const char kDefaultFields[] =
    "NAME A 24; SHORTV S; LONGV I; NUM N; MONEY $; DAY D; TIME T; STAMP @; FLAG L; "
    "AUTO +; DEC # 2; RAW Y 6";

int Usage() {
  std::fputs(
      "usage: pxoracle dump TABLE.db [--no-blobs]\n"
      "       pxoracle write TABLE.db --seed N --rows N [--fields \"NAME TYPE [SIZE]; ...\"]"
      " [--key K]\n"
      "       pxoracle gen-bench TABLE.db [--rows N]\n"
      "types: A D S I $ N L T @ + # Y, blobs M B F O G (SIZE: alpha/bytes length,\n"
      "       BCD decimals, blob field size with its 10-byte reference)\n",
      stderr);
  return 2;
}

// Options after the table path: "--name value" pairs and bare flags.
bool ParseOptions(int argc, char** argv, std::map<std::string, std::string>& options) {
  for (int i = 3; i < argc; ++i) {
    std::string name = argv[i];
    if (name.rfind("--", 0) != 0) return false;
    if (name == "--no-blobs") {
      options[name] = "1";
    } else if (i + 1 < argc) {
      options[name] = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

bool Number(const std::map<std::string, std::string>& options, const std::string& name,
            long long& value) {
  auto it = options.find(name);
  if (it == options.end()) return false;
  char* end = nullptr;
  value = std::strtoll(it->second.c_str(), &end, 10);
  return end && *end == 0 && value >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string command = argv[1], path = argv[2];
  std::map<std::string, std::string> options;
  if (!ParseOptions(argc, argv, options)) return Usage();
  PX_boot();

  long long rows = 1000000, seed = 0, key = 0;
  if (command == "dump") {
    return pxoracle::Dump(path, options.count("--no-blobs") == 0);
  }
  if (command == "gen-bench") {
    if (options.count("--rows") && !Number(options, "--rows", rows)) return Usage();
    return pxoracle::GenBench(path, static_cast<long>(rows));
  }
  if (command == "write") {
    if (!Number(options, "--seed", seed) || !Number(options, "--rows", rows)) return Usage();
    if (options.count("--key") && !Number(options, "--key", key)) return Usage();
    std::vector<pxoracle::FieldSpec> fields;
    auto it = options.find("--fields");
    if (!pxoracle::ParseFields(it == options.end() ? kDefaultFields : it->second, fields)) {
      return 2;
    }
    return pxoracle::Write(path, seed, static_cast<long>(rows), fields, static_cast<int>(key));
  }
  return Usage();
}
