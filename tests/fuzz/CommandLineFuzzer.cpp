// The simulator's command-line reader fed arbitrary arguments.
//
// Invariants, against a plain reading of the rules: the same verdict; an
// accepted command line echoes every option it was given, in order, with
// the value it now holds, and holds exactly those values; a refused one
// echoes the options before the fault and says what the fault was, in the
// one message of its kind.

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "simulator/SimulatorClass.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// A number as the reader takes it: blanks, a sign, then digits up to the
// first other character. `fits` is false when the digits exceed 64 bits;
// `rest` is true when anything but blanks follows the digits.
struct Number {
  bool digits = false;
  bool fits = true;
  bool rest = false;
  long long value = 0;
};

Number ReadNumber(const std::string& text) {
  Number n;
  size_t p = 0;
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) p++;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  unsigned long long magnitude = 0;
  for (; p < text.size() && std::isdigit(static_cast<unsigned char>(text[p])); p++) {
    n.digits = true;
    const unsigned digit = static_cast<unsigned>(text[p] - '0');
    if (magnitude > (static_cast<unsigned long long>(LLONG_MAX) - digit) / 10) n.fits = false;
    if (n.fits) magnitude = magnitude * 10 + digit;
  }
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) p++;
  n.rest = p < text.size();
  if (n.fits) n.value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  return n;
}

// What the reader must end with: its verdict, echo, message and values.
struct Expected {
  short result = 0;
  std::string out;
  std::string err;
  std::string ascii, bin, trace, overrides;
  bool asciiSet = false, binSet = false, traceSet = false, overridesSet = false;
  int clientId = 0, experiment = 0, traceLevel = 1, reportSize = 1000, maxBatches = 0;
  int generator = 0, terminating = 1;
  long port = 10000;
  uint32_t seed = 31415;
  bool textTrace = false, xmlTrace = false, wait = false;
};

// The user's text as messages show it: control characters and the
// backslash as \xNN.
std::string Shown(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '\\') {
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 15];
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

Expected Read(const std::vector<std::string>& args) {
  Expected e;
  if (args.empty()) {
    e.result = 1;
    e.err = "ERROR: No command line options specified\n";
    return e;
  }
  const std::string tooLong = "ERROR: Command Line Argument Too Long, Limited to 128 Characters\n";
  bool traceGiven = false;
  auto fail = [&](const std::string& message) {
    e.result = 1;
    e.err = message;
  };
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& argument = args[i];
    if (argument.size() > 128) return fail(tooLong), e;
    if (argument.empty() || argument[0] != '-') continue;
    const char letter = argument.size() > 1 ? argument[1] : '\0';
    std::string parameter;
    bool hasParameter = false;
    if (argument.size() > 2) {
      parameter = argument.substr(2);
      hasParameter = true;
    } else if (i + 1 < args.size() && (args[i + 1].empty() || args[i + 1][0] != '-')) {
      parameter = args[++i];
      hasParameter = true;
      if (parameter.size() > 128) return fail(tooLong), e;
    }
    const bool takesParameter = letter != '\0' && std::strchr("abcefOlnNprst", letter) != nullptr;
    const bool flag = letter == 'm' || letter == 'w' || letter == 'x';
    if (!takesParameter && !flag) {
      return fail("ERROR: Unrecognized Command Line option: " + Shown(argument) + "\n"), e;
    }
    if (takesParameter && !hasParameter) {
      return fail(std::string("Expect a parameter after '-") + letter + "'\n"), e;
    }
    if (flag && hasParameter) {
      return fail(std::string("Did not expect a parameter after '-") + letter + "'\n"), e;
    }
    const Number n = ReadNumber(parameter);
    // Digits anywhere in a text that is not a whole number make it refused;
    // only a text without any digit reads as 0.
    const bool anyDigit = parameter.find_first_of("0123456789") != std::string::npos;
    auto readInt = [&](int* field, const char* echo) {
      if (n.rest && (n.digits || anyDigit)) {
        fail(std::string("ERROR: The value of '-") + letter + "' is not a whole decimal number: '" +
             Shown(parameter) + "'\n");
        return false;
      }
      if (!n.fits || n.value < INT_MIN || n.value > INT_MAX) {
        fail(std::string("ERROR: The value of '-") + letter +
             "' does not fit in a 32-bit integer: '" + Shown(parameter) + "'\n");
        return false;
      }
      *field = static_cast<int>(n.value);
      e.out += echo + std::to_string(*field) + "\n";
      return true;
    };
    switch (letter) {
      case 'a': e.ascii = parameter, e.asciiSet = true, e.out += "ASCIIFilename: " + Shown(parameter) + "\n"; break;
      case 'b': e.bin = parameter, e.binSet = true, e.out += "BinFilename: " + Shown(parameter) + "\n"; break;
      case 'c': if (!readInt(&e.clientId, "ClientID: ")) return e; break;
      case 'e': if (!readInt(&e.experiment, "Experiment: ")) return e; break;
      case 'f':
        e.trace = parameter, e.traceSet = true, traceGiven = true;
        e.out += "TraceFile: " + Shown(parameter) + "\n";
        break;
      case 'l':
        if (!readInt(&e.traceLevel, "TraceLevel: ")) return e;
        traceGiven = true;
        break;
      case 'm': e.textTrace = true; break;
      case 'n':
        if (!n.digits || !n.fits || n.rest || n.value < 1 || n.value > INT_MAX) {
          return fail("ERROR: The report size ('-n') must be a whole number from 1 to 2147483647, not '" +
                      Shown(parameter) + "'\n"), e;
        }
        e.reportSize = static_cast<int>(n.value);
        e.out += "ReportSize: " + std::to_string(e.reportSize) + "\n";
        break;
      case 'N':
        if (!n.digits || !n.fits || n.rest || n.value < 0 || n.value > INT_MAX) {
          return fail("ERROR: The batch limit ('-N') must be a whole number from 0 (no limit) to "
                      "2147483647, not '" + Shown(parameter) + "'\n"), e;
        }
        e.maxBatches = static_cast<int>(n.value);
        e.out += "Max Number of Batches: " + std::to_string(e.maxBatches) + "\n";
        break;
      case 'O':
        e.overrides = parameter, e.overridesSet = true;
        e.out += "OverrideString is " + Shown(parameter) + "\n";
        break;
      case 'p':
        if (!n.digits || !n.fits || n.rest || n.value < 1 || n.value > 65535) {
          return fail("ERROR: The port ('-p') must be a number from 1 to 65535, not '" + Shown(parameter) +
                      "'\n"), e;
        }
        e.port = static_cast<long>(n.value);
        e.out += "Port: " + std::to_string(e.port) + "\n";
        break;
      case 'r': if (!readInt(&e.generator, "Random Number Generator: ")) return e; break;
      case 's':
        if (!n.digits || !n.fits || n.rest || n.value < 0 || n.value > 4294967295LL) {
          return fail("ERROR: The seed ('-s') must be a number from 0 to 4294967295, not '" +
                      Shown(parameter) + "'\n"), e;
        }
        e.seed = static_cast<uint32_t>(n.value);
        e.out += "Random Number Seed: " + std::to_string(e.seed) + "\n";
        break;
      case 't': if (!readInt(&e.terminating, "Is Terminating Simulation: ")) return e; break;
      case 'w': e.wait = true, e.out += "Wait For Socket Enabled\n"; break;
      case 'x': e.xmlTrace = true; break;
    }
  }
  if (traceGiven && !e.textTrace && !e.xmlTrace) e.textTrace = true;
  return e;
}

SimulatorClass* simulator = nullptr;

void ClearString(char** field) {
  delete[] *field;
  *field = nullptr;
}

// The start values of every field the reader sets.
void Reset(SimulatorClass* s) {
  ClearString(&s->asciiFileName);
  ClearString(&s->binFileName);
  ClearString(&s->traceFileName);
  ClearString(&s->overrideString);
  s->clientId = 0;
  s->experiment = 0;
  s->traceLevel = 1;
  s->textTrace = false;
  s->xmlTrace = false;
  s->reportSize = 1000;
  s->maxBatches = -1;
  s->port = 10000;
  s->generatorChoice = 0;
  s->seed = 31415;
  s->terminating = 1;
  s->waitForSocket = false;
}

bool Same(const char* field, bool set, const std::string& value) {
  return set ? field != nullptr && value == field : field == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char program[] = "simulator";
  static char option[] = "-c0";
  char* argv[] = {program, option, nullptr};
  CapturedStreams quiet;
  simulator = new SimulatorClass(2, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = SplitArguments(data, size, 16);
  const Expected e = Read(args);
  std::vector<char*> argv = MakeArgv("simulator", args);
  Reset(simulator);
  short result;
  std::string out, err;
  {
    CapturedStreams captured;
    result = simulator->ParseCommandLineOptions(static_cast<int>(argv.size()) - 1, argv.data());
    out = captured.Out();
    err = captured.Err();
  }
  FUZZ_CHECK(result == e.result, "verdict " + std::to_string(result) + ", expected " +
                                     std::to_string(e.result) + "; stderr: " + err);
  FUZZ_CHECK(out == e.out, "echo:\n" + out + "expected:\n" + e.out);
  FUZZ_CHECK(err == e.err, "message:\n" + err + "expected:\n" + e.err);
  if (result != 0) return 0;
  const SimulatorClass& s = *simulator;
  FUZZ_CHECK(Same(s.asciiFileName, e.asciiSet, e.ascii) && Same(s.binFileName, e.binSet, e.bin) &&
                 Same(s.traceFileName, e.traceSet, e.trace) &&
                 Same(s.overrideString, e.overridesSet, e.overrides),
             "a name differs from the one given");
  FUZZ_CHECK(s.clientId == e.clientId && s.experiment == e.experiment &&
                 s.traceLevel == e.traceLevel && s.reportSize == e.reportSize &&
                 s.maxBatches == e.maxBatches && s.port == e.port &&
                 s.generatorChoice == e.generator && s.seed == e.seed &&
                 s.terminating == e.terminating,
             "a number differs from the one given");
  FUZZ_CHECK(s.textTrace == e.textTrace && s.xmlTrace == e.xmlTrace && s.waitForSocket == e.wait,
             "a switch differs from the one given");
  return 0;
}
