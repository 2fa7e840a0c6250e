#include "simmgr/SimMgrOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

bool ReadInteger(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= low && value <= high;
}

bool ReadReal(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && std::isfinite(value);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t from = 0;
  while (from <= text.size()) {
    size_t end = text.find(',', from);
    if (end == std::string::npos) end = text.size();
    if (end > from) items.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  return items;
}

}  // namespace

const char* SimMgrOptions::Usage() {
  return "Usage: simmgr [options]\n"
         "Runs the experiments of the study as simulator processes and reports, for every\n"
         "experiment and reward variable, the mean with its confidence interval.\n"
         "\n"
         "  --experiments LIST     experiments to run, e.g. 0-35 or 0,4,8-11 (default: all)\n"
         "  --jobs N               simulators running at once (default: number of cores;\n"
         "                         with --launcher srun, the allocation's tasks)\n"
         "  --replications N       fixed number of replications per experiment\n"
         "  --abs-precision H      stop when every confidence interval's half-width is <= H\n"
         "  --precision R          stop when every half-width is <= R * |mean|\n"
         "                         (default without these three: --abs-precision 0.01)\n"
         "  --confidence C         confidence level of the intervals (default 0.95)\n"
         "  --interval METHOD      clopper-pearson, wilson or t (default: clopper-pearson for\n"
         "                         variables whose observations are all 0 or 1, t otherwise)\n"
         "  --simultaneous         intervals that hold together for all variables of an\n"
         "                         experiment (Bonferroni)\n"
         "  --two-stage            with an absolute target alone (the default then): a pilot\n"
         "                         of --min-replications plans each experiment's replications\n"
         "                         and is not part of its estimates\n"
         "  --looks                look at the precision at --min-replications x 1, 2, 4, ...\n"
         "                         instead (the only way with --precision; the default for an\n"
         "                         absolute target that one look at the minimum meets)\n"
         "  --test 'VAR < P'       decide per experiment whether the probability of VAR\n"
         "                         (e.g. reliability@365) is below (or, with >, above) P, by\n"
         "                         Wald's sequential probability ratio test\n"
         "  --alpha A, --beta B    the test's error bounds (default 0.05 each)\n"
         "  --delta D              the test's indifference half-width around P (default 0.01)\n"
         "  --min-replications N   the pilot of two stages, or the first of the looks, which\n"
         "                         look again at 2N, 4N, ... with intervals at a level\n"
         "                         corrected for the looks (default 1000)\n"
         "  --max-replications N   replications after which an experiment stops anyway\n"
         "                         (default 10000000; with --abs-precision alone, the\n"
         "                         replications at which any probability is precise enough)\n"
         "  --resume DIR           take the study saved in DIR further (new targets allowed)\n"
         "  --seed S               base seed of the study (default 31415)\n"
         "  --generator 0|1|2      lagged Fibonacci, Tausworthe, Mersenne Twister (default 0)\n"
         "  --out DIR              where results.csv, results.json, reliability.svg and the\n"
         "                         study's state.json go (default results)\n"
         "  --ascii-dir DIR        also have each simulator write DIR/experiment<k>.txt\n"
         "  --simulator PATH       simulator program (default: simulator beside simmgr,\n"
         "                         else the first on PATH)\n"
         "  --port P               first port to hand out (default 10000)\n"
         "  --report-size N        observations per hand-over (simulator -n, default 500)\n"
         "  --timeout SECONDS      longest wait for a simulator's next sign of life (default 60)\n"
         "  --retries N            times an experiment whose simulator fails is started again\n"
         "                         with the work left and a fresh seed (default 3)\n"
         "  --launcher ssh         start simulators on the --hosts through ssh\n"
         "  --launcher srun        start each simulator as a job step of the current Slurm\n"
         "                         allocation (on the --hosts, if given)\n"
         "  --launcher TEMPLATE    start simulators through TEMPLATE, in which {command} is the\n"
         "                         simulator's command line, {quoted-command} the same quoted\n"
         "                         as one word, and {host} the host, e.g.\n"
         "                         'ssh {host} {quoted-command}'\n"
         "  --hosts A,B,...        hosts for the launcher, used in turn (default 127.0.0.1)\n"
         "  --ssh-port P           with --launcher ssh: the port of the ssh servers\n"
         "  --ssh-user NAME        with --launcher ssh: the user to log in as\n"
         "  --ssh-identity FILE    with --launcher ssh: the private key to log in with\n"
         "  --ssh-option OPTION    with --launcher ssh: passed as -o OPTION (repeatable)\n"
         "  --srun-option OPTION   with --launcher srun: passed to srun (repeatable)\n"
         "  --version              the version of simmgr and the commit it was built from\n"
         "  --help                 this text\n";
}

bool SimMgrOptions::TargetsGiven() const {
  return Given("--replications") || Given("--precision") || Given("--abs-precision") || Given("--test");
}

bool SimMgrOptions::Parse(int argc, char** argv, std::string& error) {
  bool precisionGiven = false;
  bool replicationsGiven = false;
  std::string sshGiven;   // the last --ssh-... option, if any
  std::string srunGiven;  // --srun-option, if given
  std::string testText;
  double alpha = 0.05, beta = 0.05, delta = 0.01;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    std::string value;
    bool inlineValue = false;
    const size_t equals = option.find('=');
    if (option.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option = option.substr(0, equals);
      inlineValue = true;
    }
    if (option == "--help" || option == "-h") {
      help = true;
      continue;
    }
    if (option == "--version") {
      version = true;
      continue;
    }
    if (option == "--simultaneous") {
      if (inlineValue) return error = "--simultaneous takes no value", false;
      rule.simultaneous = true;
      given.insert(option);
      continue;
    }
    if (option == "--two-stage" || option == "--looks") {
      if (inlineValue) return error = option + " takes no value", false;
      given.insert(option);
      continue;
    }
    static const char* const kOptions[] = {
        "--experiments", "--jobs", "--port", "--simulator", "--seed", "--generator",
        "--replications", "--precision", "--abs-precision", "--confidence",
        "--min-replications", "--max-replications", "--report-size", "--out", "--ascii-dir",
        "--timeout", "--retries", "--launcher", "--hosts", "--ssh-port", "--ssh-user", "--ssh-identity",
        "--ssh-option", "--srun-option", "--interval", "--test", "--alpha", "--beta", "--delta", "--resume"};
    bool known = false;
    for (const char* name : kOptions) known = known || option == name;
    if (!known) {
      error = "unknown option " + option;
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) {
        error = "option " + option + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    given.insert(option);
    long long n = 0;
    double x = 0.0;
    const std::string bad = "bad value '" + value + "' for " + option;
    if (option == "--experiments") {
      // Empty, it would read as not given: the whole study would run where
      // none of it was named.
      if (value.empty()) return error = bad, false;
      experiments = value;
    } else if (option == "--jobs") {
      if (!ReadInteger(value, 1, 4096, n)) return error = bad, false;
      jobs = static_cast<int>(n);
    } else if (option == "--port") {
      if (!ReadInteger(value, 1, 65535, n)) return error = bad, false;
      port = static_cast<int>(n);
    } else if (option == "--simulator") {
      // Empty, it would read as not given, and another simulator be run.
      if (value.empty()) return error = bad, false;
      simulator = value;
    } else if (option == "--seed") {
      if (!ReadInteger(value, 0, 4294967295LL, n)) return error = bad, false;
      seed = static_cast<uint32_t>(n);
    } else if (option == "--generator") {
      if (!ReadInteger(value, 0, 2, n)) return error = bad, false;
      generator = static_cast<int>(n);
    } else if (option == "--replications") {
      if (!ReadInteger(value, 1, 1000000000LL, n)) return error = bad, false;
      rule.replications = n;
      replicationsGiven = true;
    } else if (option == "--precision") {
      if (!ReadReal(value, x) || x <= 0.0) return error = bad, false;
      rule.relative = x;
      precisionGiven = true;
    } else if (option == "--abs-precision") {
      if (!ReadReal(value, x) || x <= 0.0) return error = bad, false;
      rule.absolute = x;
      precisionGiven = true;
    } else if (option == "--confidence") {
      if (!ReadReal(value, x) || x <= 0.0 || x >= 1.0) return error = bad, false;
      rule.confidence = x;
    } else if (option == "--min-replications") {
      if (!ReadInteger(value, 2, 1000000000000LL, n)) return error = bad, false;
      rule.minReplications = n;
    } else if (option == "--max-replications") {
      if (!ReadInteger(value, 2, 1000000000000LL, n)) return error = bad, false;
      rule.maxReplications = n;
    } else if (option == "--report-size") {
      if (!ReadInteger(value, 1, 100000, n)) return error = bad, false;
      reportSize = static_cast<int>(n);
    } else if (option == "--out") {
      if (value.empty()) return error = bad, false;
      outDir = value;
    } else if (option == "--ascii-dir") {
      // Empty, it would read as not given: no simulator would keep its
      // observations, and the study would end as if they had been kept.
      if (value.empty()) return error = bad, false;
      // The simulator echoes its file's name before it announces its port:
      // a line end in it could pass for an announcement of a port or host.
      if (value.find_first_of("\r\n") != std::string::npos) {
        return error = "--ascii-dir must not hold a line end", false;
      }
      asciiDir = value;
    } else if (option == "--timeout") {
      if (!ReadReal(value, x) || x <= 0.0 || x > 86400.0) return error = bad, false;
      timeoutSeconds = x;
    } else if (option == "--retries") {
      if (!ReadInteger(value, 0, 100, n)) return error = bad, false;
      retries = static_cast<int>(n);
    } else if (option == "--interval") {
      if (!ConfidenceInterval::Parse(value, rule.method)) return error = bad, false;
    } else if (option == "--test") {
      testText = value;
    } else if (option == "--alpha" || option == "--beta" || option == "--delta") {
      if (!ReadReal(value, x) || x <= 0.0 || x >= 1.0) return error = bad, false;
      (option == "--alpha" ? alpha : option == "--beta" ? beta : delta) = x;
    } else if (option == "--resume") {
      if (value.empty()) return error = bad, false;
      resume = value;
    } else if (option == "--launcher") {
      // Empty, it would read as not given: simulators started here.
      if (value.empty()) return error = bad, false;
      launcher = value;
    } else if (option == "--hosts") {
      hosts = SplitList(value);
      if (hosts.empty()) return error = bad, false;
      for (const std::string& host : hosts) {
        if (!LauncherPreset::IsHostName(host)) return error = "bad host name '" + host + "' in --hosts", false;
      }
    } else if (option == "--ssh-port") {
      if (!ReadInteger(value, 1, 65535, n)) return error = bad, false;
      launcherSettings.sshPort = static_cast<int>(n);
      sshGiven = option;
    } else if (option == "--ssh-user") {
      if (value.empty() || value[0] == '-') return error = bad, false;
      launcherSettings.sshUser = value;
      sshGiven = option;
    } else if (option == "--ssh-identity") {
      if (value.empty()) return error = bad, false;
      launcherSettings.sshIdentity = value;
      sshGiven = option;
    } else if (option == "--ssh-option") {
      if (value.empty()) return error = bad, false;
      launcherSettings.sshOptions.push_back(value);
      sshGiven = option;
    } else if (option == "--srun-option") {
      if (value.empty()) return error = bad, false;
      launcherSettings.srunOptions.push_back(value);
      srunGiven = option;
    } else {
      error = "unknown option " + option;
      return false;
    }
  }
  if (replicationsGiven && (Given("--min-replications") || Given("--max-replications"))) {
    error = "--replications runs exactly that many: --min-replications and --max-replications have no meaning "
            "with it";
    return false;
  }
  if (replicationsGiven && precisionGiven) {
    error = "--replications and a precision (--precision, --abs-precision) exclude each other";
    return false;
  }
  // An empty claim is refused as a claim, not taken for no test.
  if (Given("--test")) {
    if (replicationsGiven || precisionGiven) {
      error = "--test decides when an experiment ends: it excludes --replications, --precision and "
              "--abs-precision";
      return false;
    }
    if (Given("--min-replications")) {
      error = "--test decides after every replication: --min-replications has no meaning with it";
      return false;
    }
    SequentialTest::Direction direction;
    double threshold = 0.0;
    if (!SequentialTest::Parse(testText, rule.testLabel, direction, threshold, error)) return false;
    rule.test = SequentialTest(direction, threshold, alpha, beta, delta);
    if (!rule.test.Check(error)) return false;
  } else if (Given("--alpha") || Given("--beta") || Given("--delta")) {
    error = "--alpha, --beta and --delta belong to --test";
    return false;
  }
  if (Given("--two-stage") && Given("--looks")) {
    error = "--two-stage and --looks are two ways to stop: give one";
    return false;
  }
  if (Given("--two-stage") && (replicationsGiven || Given("--test") || Given("--precision"))) {
    error = "--two-stage plans the replications an absolute target needs: it excludes --replications, --test "
            "and --precision";
    return false;
  }
  if (Given("--looks") && (replicationsGiven || Given("--test"))) {
    error = "--looks is a way to stop at a precision: it excludes --replications and --test";
    return false;
  }
  if (!resume.empty() && (Given("--experiments") || Given("--out"))) {
    error = "a resumed study keeps its experiments and its folder: --resume excludes --experiments and --out";
    return false;
  }
  if (!resume.empty()) outDir = resume;
  if (!replicationsGiven && !precisionGiven && !Given("--test") && resume.empty()) rule.absolute = 0.01;
  // An absolute target alone is planned from a pilot unless the looks are
  // asked for (a resumed study keeps the way it was run).
  rule.twoStage = Given("--two-stage") || (!Given("--looks") && !replicationsGiven && !Given("--test") &&
                                           !Given("--precision") && rule.absolute > 0.0);
  // A test decides after every replication: no minimum applies to it.
  // After a pilot the maximum counts the replications that follow it.
  // Without --max-replications the maximum is known only once the targets
  // are (an absolute target alone sets it at or above the minimum): the
  // default is checked against the minimum then.
  if (!replicationsGiven && !Given("--test") && !rule.twoStage && Given("--max-replications") &&
      rule.maxReplications < rule.minReplications) {
    error = "--max-replications is below --min-replications";
    return false;
  }
  if (!hosts.empty() && launcher.empty()) {
    error = "--hosts needs --launcher";
    return false;
  }
  if (!sshGiven.empty() && launcher != "ssh") {
    error = sshGiven + " needs --launcher ssh";
    return false;
  }
  if (!srunGiven.empty() && launcher != "srun") {
    error = srunGiven + " needs --launcher srun";
    return false;
  }
  if (launcher == "ssh" && hosts.empty()) {
    error = "--launcher ssh needs --hosts";
    return false;
  }
  if (LauncherPreset::IsPreset(launcher)) {
    launcherPreset = launcher;
    launcher = LauncherPreset::Expand(launcher, launcherSettings, !hosts.empty());
  }
  if (!launcher.empty() && launcher.find("{command}") == std::string::npos &&
      launcher.find("{quoted-command}") == std::string::npos) {
    error = "the launcher '" + launcher + "' has no {command}";
    return false;
  }
  if (!launcher.empty() && hosts.empty()) hosts.push_back("127.0.0.1");
  return true;
}
