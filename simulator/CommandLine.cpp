// Reading of the command line: options, echoes, usage text and errors.

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Cpp/BaseClasses/BaseStudyClass.h"
#include "simulator/SimulatorClass.h"
#include "simulator/Version.h"

namespace {

const size_t kMaxArgumentLength = 128;

// Reads a number the way atoi does (leading blanks, an optional sign, then
// decimal digits; no digits reads as 0), but without undefined behaviour on
// overflow: the value saturates and *overflow is set. *trailing is set when
// anything but blanks follows the digits: atoi would stop there, reading
// "1e6" as 1 and "0x10" as 0, and such a number is refused instead.
long long ReadNumber(const char* text, bool* sawDigit, bool* overflow, bool* trailing) {
  *sawDigit = false;
  *overflow = false;
  *trailing = false;
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); p++) {
    *sawDigit = true;
    if (*overflow) continue;
    const int digit = *p - '0';
    // The last digit counts too: 922337203685477580 * 10 + 8 would overflow.
    if (value > (LLONG_MAX - digit) / 10) {
      *overflow = true;
      value = LLONG_MAX;
    } else {
      value = value * 10 + digit;
    }
  }
  while (std::isspace(static_cast<unsigned char>(*p))) p++;
  *trailing = *p != '\0';
  return negative ? -value : value;
}

char* CopyString(const char* text) {
  char* copy = new char[std::strlen(text) + 1];
  std::strcpy(copy, text);
  return copy;
}

void ReplaceString(char** field, const char* text) {
  delete[] *field;
  *field = CopyString(text);
}

// strchr finds the terminating NUL too: a lone "-" has no letter at all.
bool OptionTakesParameter(char letter) {
  return letter != '\0' && std::strchr("abcefOlnNprst", letter) != nullptr;
}

bool OptionIsFlag(char letter) { return letter == 'm' || letter == 'w' || letter == 'x'; }

// Reads a number that must fit a 32-bit int; reports and returns false when
// it does not, or when other characters follow its digits. A text without
// any digit reads as 0, as it always has for these options; one whose
// digits come after another character ("x7", "+ 7", "#2") is refused, not
// read as 0.
bool ReadIntOption(char letter, const char* text, int* out) {
  bool sawDigit, overflow, trailing;
  long long value = ReadNumber(text, &sawDigit, &overflow, &trailing);
  if (trailing && (sawDigit || std::strpbrk(text, "0123456789") != nullptr)) {
    std::cerr << "ERROR: The value of '-" << letter << "' is not a whole decimal number: '"
              << BaseStudyClass::Printable(text) << "'\n";
    return false;
  }
  if (overflow || value < INT_MIN || value > INT_MAX) {
    std::cerr << "ERROR: The value of '-" << letter << "' does not fit in a 32-bit integer: '"
              << BaseStudyClass::Printable(text) << "'\n";
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

short SimulatorClass::ParseCommandLineOptions(int argc, char** argv) {
  reportSize = 1000;
  maxBatches = 0;
  if (argc <= 1) {
    std::cerr << "ERROR: No command line options specified" << std::endl;
    return 1;
  }

  bool traceFileGiven = false;
  bool traceLevelGiven = false;
  for (int i = 1; i < argc; i++) {
    const char* argument = argv[i];
    if (std::strlen(argument) > kMaxArgumentLength) {
      std::cerr << "ERROR: Command Line Argument Too Long, Limited to " << kMaxArgumentLength
                << " Characters\n";
      return 1;
    }
    if (argument[0] != '-') continue;

    const char letter = argument[1];
    const char* parameter = nullptr;
    if (std::strlen(argument) > 2) {
      parameter = argument + 2;
    } else if (i + 1 < argc && argv[i + 1][0] != '-') {
      parameter = argv[++i];
      if (std::strlen(parameter) > kMaxArgumentLength) {
        std::cerr << "ERROR: Command Line Argument Too Long, Limited to " << kMaxArgumentLength
                  << " Characters\n";
        return 1;
      }
    }

    if (!OptionTakesParameter(letter) && !OptionIsFlag(letter)) {
      std::cerr << "ERROR: Unrecognized Command Line option: " << BaseStudyClass::Printable(argument) << "\n";
      return 1;
    }
    if (OptionTakesParameter(letter) && parameter == nullptr) {
      std::cerr << "Expect a parameter after '-" << letter << "'\n";
      return 1;
    }
    if (OptionIsFlag(letter) && parameter != nullptr) {
      std::cerr << "Did not expect a parameter after '-" << letter << "'\n";
      return 1;
    }

    switch (letter) {
      case 'a':
        ReplaceString(&asciiFileName, parameter);
        std::cout << "ASCIIFilename: " << BaseStudyClass::Printable(asciiFileName) << std::endl;
        break;
      case 'b':
        ReplaceString(&binFileName, parameter);
        std::cout << "BinFilename: " << BaseStudyClass::Printable(binFileName) << std::endl;
        break;
      case 'c':
        if (!ReadIntOption(letter, parameter, &clientId)) return 1;
        std::cout << "ClientID: " << clientId << std::endl;
        break;
      case 'e':
        if (!ReadIntOption(letter, parameter, &experiment)) return 1;
        std::cout << "Experiment: " << experiment << std::endl;
        break;
      case 'f':
        ReplaceString(&traceFileName, parameter);
        traceFileGiven = true;
        std::cout << "TraceFile: " << BaseStudyClass::Printable(traceFileName) << std::endl;
        break;
      case 'l':
        if (!ReadIntOption(letter, parameter, &traceLevel)) return 1;
        traceLevelGiven = true;
        std::cout << "TraceLevel: " << traceLevel << std::endl;
        break;
      case 'm':
        textTrace = true;
        break;
      case 'n': {
        // A report size below 1 would leave the data packets without room
        // for a single observation.
        bool sawDigit, overflow, trailing;
        long long value = ReadNumber(parameter, &sawDigit, &overflow, &trailing);
        if (!sawDigit || overflow || trailing || value < 1 || value > INT_MAX) {
          std::cerr << "ERROR: The report size ('-n') must be a whole number from 1 to " << INT_MAX
                    << ", not '" << BaseStudyClass::Printable(parameter) << "'\n";
          return 1;
        }
        reportSize = static_cast<int>(value);
        std::cout << "ReportSize: " << reportSize << std::endl;
        break;
      }
      case 'N': {
        // 0 means no limit; a negative number, a text without digits or
        // one that only begins with them ("0x10", read as 0) would
        // silently mean the same and run for ever.
        bool sawDigit, overflow, trailing;
        long long value = ReadNumber(parameter, &sawDigit, &overflow, &trailing);
        if (!sawDigit || overflow || trailing || value < 0 || value > INT_MAX) {
          std::cerr << "ERROR: The batch limit ('-N') must be a whole number from 0 (no limit) to "
                    << INT_MAX << ", not '" << BaseStudyClass::Printable(parameter) << "'\n";
          return 1;
        }
        maxBatches = static_cast<int>(value);
        std::cout << "Max Number of Batches: " << maxBatches << std::endl;
        break;
      }
      case 'O':
        ReplaceString(&overrideString, parameter);
        std::cout << "OverrideString is " << BaseStudyClass::Printable(overrideString) << std::endl;
        break;
      case 'p': {
        bool sawDigit, overflow, trailing;
        long long value = ReadNumber(parameter, &sawDigit, &overflow, &trailing);
        if (!sawDigit || overflow || trailing || value < 1 || value > 65535) {
          std::cerr << "ERROR: The port ('-p') must be a number from 1 to 65535, not '"
                    << BaseStudyClass::Printable(parameter) << "'\n";
          return 1;
        }
        port = static_cast<uint16_t>(value);
        std::cout << "Port: " << port << std::endl;
        break;
      }
      case 'r':
        if (!ReadIntOption(letter, parameter, &generatorChoice)) return 1;
        std::cout << "Random Number Generator: " << generatorChoice << std::endl;
        break;
      case 's': {
        // A text without digits would read as 0, which means the default
        // seed: another stream than the one asked for, silently.
        bool sawDigit, overflow, trailing;
        long long value = ReadNumber(parameter, &sawDigit, &overflow, &trailing);
        if (!sawDigit || overflow || trailing || value < 0 || value > 4294967295LL) {
          std::cerr << "ERROR: The seed ('-s') must be a number from 0 to 4294967295, not '"
                    << BaseStudyClass::Printable(parameter) << "'\n";
          return 1;
        }
        seed = static_cast<uint32_t>(value);
        std::cout << "Random Number Seed: " << seed << std::endl;
        break;
      }
      case 't':
        if (!ReadIntOption(letter, parameter, &terminating)) return 1;
        std::cout << "Is Terminating Simulation: " << terminating << std::endl;
        break;
      case 'w':
        waitForSocket = true;
        std::cout << "Wait For Socket Enabled" << std::endl;
        break;
      case 'x':
        xmlTrace = true;
        break;
    }
  }

  // A trace file name or level alone asks for the plain-text trace.
  if ((traceFileGiven || traceLevelGiven) && !textTrace && !xmlTrace) textTrace = true;
  return 0;
}

void SimulatorClass::PrintUsage() {
  std::cerr << "Valid Options\n"
            << "-a <name>: write ASCII output to file <name>\n"
            << "-b <name>: write binary output to file <name>\n"
            << "-c <num>: Client identification number (default=0)\n"
            << "-e <num>: Experiment to run, 'Experiment 1' is num=0 (default = 0)\n"
            << "-f <name>: Trace file name (default=<stdout>)\n"
            << "-m: Enable Korvan trace \n"
            << "-l <num>: Trace Level (1, 2,3,4 [default=1])\n"
            << "-x: Enable XML trace \n"
            << "-n <num>: Num observations sent in 1 update to SimMgr. (default=1000)\n"
            << "-N <num>: Maximum number of batches to run (default=infinite)\n"
            << "-p <num>: Communication port of network server (default=10000)\n"
            << "-r <num>: Random Number Generator (0 = Lagged Fibonacci[default] 1 = Tausworthe\n"
            << "-s <num>: Random Number Seed (31415[default])\n"
            << "-t <num>: Simulation Type (1 = Terminating[default] 0 = Steady State)\n"
            << "-w: Simulator will wait to send output until socket connection is established.\n"
            << "\n"
            << "simulator " << KorvanVersionText() << std::endl;
}
