// Configuration changes and their saves: a change whose save fails is undone everywhere, a close
// saves where the motors really are, files with gaps between used records load packed, a running
// channel is stopped before it is reconfigured, settings files are read with a bound, temporary
// files of dead processes are cleaned up, and unusable coefficients are refused.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <thread>

#include "api_fixture.h"

namespace mervane::testing {
namespace {

// Ticks on a thread of its own, one simulated millisecond per real one, until it goes.
class BackgroundTicks {
public:
  explicit BackgroundTicks(double start) : thread_([this, start] {
      for (double t = start; running_; t += 0.001) {
        Tick(t);
        platform::SleepMs(1);
      }
    }) {}
  ~BackgroundTicks() {
    running_ = false;
    thread_.join();
  }
  BackgroundTicks(const BackgroundTicks&) = delete;
  BackgroundTicks& operator=(const BackgroundTicks&) = delete;

private:
  std::atomic<bool> running_{true};
  std::thread thread_;
};

// Everything a host can observe of the box's configuration.
struct Observed {
  int count;
  std::vector<ByteImage> records;
  std::string name;
  ByteImage file;
  ByteImage chip;
  bool operator==(const Observed&) const = default;
};

class CommitTest : public ApiTest {
protected:
  Observed Observe() {
    Observed o;
    o.count = SM_GetCount(0);
    for (int c = 0; c < o.count; ++c) {
      MotorInfo info;
      EXPECT_TRUE(SM_GetInfo(0, static_cast<std::uint32_t>(c), &info));
      const auto* p = reinterpret_cast<const std::uint8_t*>(&info);
      o.records.emplace_back(p, p + sizeof info);
    }
    char name[64] = {};
    EXPECT_TRUE(GetDeviceName(0, name, sizeof name));
    o.name = name;
    o.file = ReadFileBytes(SettingsFile(kSerial));
    o.chip = EepromBytes(kSerial);
    return o;
  }
};

// ---- A change whose save fails is undone -------------------------------------------------------

struct FailedChange {
  const char* name;
  std::function<bool()> change;                 // true when the call reported success
  std::function<void(const Observed&)> effect;  // what a successful retry did
};
void PrintTo(const FailedChange& c, std::ostream* os) { *os << c.name; }

class FailedSaveTest : public CommitTest,
                       public ::testing::WithParamInterface<std::tuple<FailedChange, const char*>> {};

// The save fails at the chip (EEPROM write refused) or at the file (a file size limit): the call
// reports failure and nothing changed, in memory, in the file or on the chip. A retry once the
// save works does the change once (before, a retried removal removed a second motor and a retried
// add was refused as a duplicate).
TEST_P(FailedSaveTest, ReportsFailureAndChangesNothingThenTheRetryWorksOnce) {
  const auto& [c, where] = GetParam();
  ASSERT_EQ(Start(), 1);
  AddMotors(0, {"A", "B"});
  ASSERT_TRUE(RenameDevice(0, "Bench"));
  const Observed before = Observe();

  bool reported = false;
  if (std::string(where) == "chip") {
    ASSERT_EQ(boxsim_fail(kSerial, "uawrite", 1), 0);
    reported = c.change();
  } else {
#if defined(_WIN32)
    MERVANE_POSIX_ONLY("a per-process file size limit (RLIMIT_FSIZE) to make the file write fail");
#else
    FileSizeLimitScope noFiles(0);
    if (!noFiles.Active()) GTEST_SKIP() << "the file size limit cannot be set here";
    reported = c.change();
#endif
  }
  EXPECT_FALSE(reported);
  EXPECT_EQ(Observe(), before);

  ASSERT_TRUE(c.change());
  c.effect(Observe());
}

const FailedChange kChanges[] = {
    {"remove", [] { return SM_Remove(0, 0); },
     [](const Observed& o) {
       ASSERT_EQ(o.count, 1);
       EXPECT_STREQ(reinterpret_cast<const char*>(o.records[0].data()) + 17, "B");
     }},
    {"add",
     [] {
       MotorInfo info = FourWireInfo(3, "C");
       return SM_Setup(0, -1, &info) == 2;
     },
     [](const Observed& o) { EXPECT_EQ(o.count, 3); }},
    {"configure",
     [] {
       MotorInfo info = FourWireInfo(5, "NEW");
       return SM_Setup(0, 1, &info) == 1;
     },
     [](const Observed& o) {
       ASSERT_EQ(o.count, 2);
       EXPECT_STREQ(reinterpret_cast<const char*>(o.records[1].data()) + 17, "NEW");
     }},
    {"rename", [] { return RenameDevice(0, "Other"); },
     [](const Observed& o) {
       EXPECT_EQ(o.name, "Other");
       EXPECT_EQ(std::string(reinterpret_cast<const char*>(o.chip.data())), "Other");
     }},
};

INSTANTIATE_TEST_SUITE_P(Changes, FailedSaveTest,
                         ::testing::Combine(::testing::ValuesIn(kChanges), ::testing::Values("chip", "file")),
                         [](const auto& test) {
                           return std::string(std::get<0>(test.param).name) + "_" + std::get<1>(test.param);
                         });

// A rename that failed leaves the old name for the next close to write to the chip.
TEST_F(CommitTest, AFailedRenameIsNotWrittenAtTheNextClose) {
  ASSERT_EQ(Start(), 1);
  ASSERT_TRUE(RenameDevice(0, "Bench"));
  ASSERT_EQ(boxsim_fail(kSerial, "uawrite", 1), 0);
  ASSERT_FALSE(RenameDevice(0, "Other"));
  ASSERT_TRUE(CloseDevice(0));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(EepromBytes(kSerial).data())), "Bench");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ReadFileBytes(SettingsFile(kSerial)).data())), "Bench");
}

// ---- A close saves where the motors are -----------------------------------------------------------

// Twenty closes of a moving two-wire motor with the tick running: each saves the position the
// motor has (the close stops the motion before it takes the positions), and each reopen starts
// from it (before, every close saved a position behind the motor's).
TEST_F(CommitTest, CloseDeviceOfAMovingMotorSavesWhereItIs) {
  ASSERT_EQ(Start(), 1);
  MotorInfo info = FourWireInfo(1, "TWO", 1.0f);
  info.type = 0x01;
  ASSERT_EQ(SM_Setup(0, -1, &info), 0);
  ASSERT_EQ(boxsim_wire(kSerial, 1, "two-wire"), 0);
  BackgroundTicks ticks(now_);
  for (int cycle = 0; cycle < 20; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(SM_Move(0, 0, cycle % 2 == 0 ? 100000.0 : -100000.0));
    platform::SleepMs(15);
    ASSERT_TRUE(CloseDevice(0));
    float saved = ReadAt<float>(ReadFileBytes(SettingsFile(kSerial)), RecordOffset(0) + kRecordPosition);
    EXPECT_EQ(static_cast<long long>(saved), boxsim_position(kSerial, 1));
    ASSERT_TRUE(OpenDevice(0));
    EXPECT_EQ(static_cast<long long>(SM_GetRealPosition(0, 0)), boxsim_position(kSerial, 1));
  }
}

// ---- Files whose used records are not packed -----------------------------------------------------

struct Layout {
  const char* name;
  std::vector<int> used;  // records of the file that are in use
};

class UnpackedFileTest : public CommitTest, public ::testing::WithParamInterface<Layout> {};

// The used records come to the front in their order, so every configured motor is reachable, its
// address counts as taken, and the next save writes the packed block.
TEST_P(UnpackedFileTest, LoadsWithTheUsedRecordsPackedInOrder) {
  const Layout& c = GetParam();
  DeviceSettings block = FreshSettings();
  for (int r : c.used) {
    std::string name = "R" + std::to_string(r);
    block.records[r] = UsedRecord(static_cast<std::uint8_t>(r + 1), 10.0f, static_cast<float>(r), name.c_str());
  }
  WriteFileBytes(SettingsFile(kSerial), BlockBytes(block));
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(SM_GetCount(0), static_cast<int>(c.used.size()));
  DeviceSettings packed = FreshSettings();
  for (std::size_t i = 0; i < c.used.size(); ++i) {
    int r = c.used[i];
    SCOPED_TRACE(r);
    MotorInfo info;
    ASSERT_TRUE(SM_GetInfo(0, static_cast<std::uint32_t>(i), &info));
    EXPECT_EQ(info.address, r + 1);
    EXPECT_EQ(std::string(info.name), "R" + std::to_string(r));
    EXPECT_EQ(SM_GetRealPosition(0, static_cast<std::uint32_t>(i)), static_cast<double>(r));
    MotorInfo duplicate = FourWireInfo(static_cast<std::uint8_t>(r + 1), "DUP");
    EXPECT_EQ(SM_Setup(0, -1, &duplicate), -1) << "its address is taken";
    packed.records[i] = block.records[r];
  }
  ASSERT_TRUE(CloseDevice(0));
  ByteImage file = ReadFileBytes(SettingsFile(kSerial));
  std::memcpy(packed.name, file.data(), kNameAreaSize);  // the close writes the display name
  EXPECT_EQ(file, BlockBytes(packed));
}

INSTANTIATE_TEST_SUITE_P(Layouts, UnpackedFileTest,
                         ::testing::Values(Layout{"second_only", {1}}, Layout{"gap", {0, 2}},
                                           Layout{"every_other", {1, 3, 5}}, Layout{"last_only", {6}},
                                           Layout{"already_packed", {0, 1, 2}}),
                         ParamName());

// ---- Reconfiguring a running channel -------------------------------------------------------------

// The channel is stopped and waited for first; the new record takes effect on a motor at rest.
TEST_F(CommitTest, SetupOfARunningChannelStopsItFirst) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  MotorInfo changed = FourWireInfo(2, "X", 100.0f);
  changed.halfSteps = 1;
  {
    BackgroundTicks ticks(now_);
    ASSERT_TRUE(SM_Move(0, 0, 1000.0));
    platform::SleepMs(30);
    ASSERT_TRUE(SM_IsRunning(0, 0));
    EXPECT_EQ(SM_Setup(0, 0, &changed), 0);
    EXPECT_FALSE(SM_IsRunning(0, 0));
    EXPECT_EQ(static_cast<long long>(Channel(0, 0).position), boxsim_position(kSerial, 1));
  }
  EXPECT_EQ(boxsim_errors(kSerial, 1), 0);
  MotorInfo info;
  ASSERT_TRUE(SM_GetInfo(0, 0, &info));
  EXPECT_EQ(info.address, 2);
  EXPECT_EQ(info.halfSteps, 1);
}

// A channel that does not come to rest within 10 s (nothing ticks here, though something could)
// keeps its record: the setup fails with record, file and chip unchanged (the motor was asked to
// stop, as SM_SetZero asks it).
TEST_F(CommitTest, SetupOfAChannelThatDoesNotRestFailsWithNothingChanged) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  ASSERT_TRUE(SM_Move(0, 0, 1000.0));
  TickFor(0.02);
  const Observed before = Observe();
  MotorInfo changed = FourWireInfo(2, "Y");
  EXPECT_EQ(SM_Setup(0, 0, &changed), -1);
  EXPECT_EQ(Observe(), before);
  EXPECT_TRUE(SM_IsRunning(0, 0));
}

// ---- Settings files read with a bound, temporary files of dead processes -----------------------

#if !defined(_WIN32)
std::int64_t PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A 256 MiB (sparse) settings file: its first 289 bytes are the block, and nothing more is read
// (before, the whole file was loaded into memory, with the library lock held).
TEST_F(CommitTest, AHugeSettingsFileIsReadForItsBlockOnly) {
  DeviceSettings block = FreshSettings();
  block.records[0] = UsedRecord(1, 1.0f, 42.0f, "BIG");
  WriteFileBytes(SettingsFile(kSerial), BlockBytes(block));
  std::filesystem::resize_file(SettingsFile(kSerial), std::uintmax_t{256} << 20);
  const std::int64_t peak = PeakResidentKiB();
  ASSERT_EQ(Start(), 1);
  EXPECT_LT(PeakResidentKiB() - peak, 32 * 1024) << "KiB more at the peak";
  ASSERT_EQ(SM_GetCount(0), 1);
  EXPECT_EQ(SM_GetRealPosition(0, 0), 42.0);
  ASSERT_TRUE(CloseDevice(0));
  EXPECT_EQ(ReadFileBytes(SettingsFile(kSerial)).size(), 289u);
}

// A process that has ended (forked here and waited for).
int DeadProcess() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return static_cast<int>(child);
}

// "<serial>.hws.tmp<pid>" left by a process killed during a save goes at the next save of that
// box; files of living processes and files not named like that stay.
TEST_F(CommitTest, TheNextSaveRemovesTemporaryFilesOfDeadProcesses) {
  ASSERT_EQ(Start(), 1);
  const std::string file = SettingsFile(kSerial);
  const std::string dead = file + ".tmp" + std::to_string(DeadProcess());
  const std::string kept[] = {file + ".tmp" + std::to_string(getppid()), file + ".tmp1", file + ".tmpabc",
                              file + ".tmp" + std::to_string(DeadProcess()) + "x",
                              SettingsFile("OTHER") + ".tmp" + std::to_string(DeadProcess())};
  for (const std::string& name : kept) WriteFileBytes(name, {1, 2, 3});
  WriteFileBytes(dead, {1, 2, 3});
  ASSERT_TRUE(RenameDevice(0, "Saved"));
  EXPECT_FALSE(std::filesystem::exists(dead));
  for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(name)) << name;
  EXPECT_EQ(ReadFileBytes(file).size(), 289u);
}

#else
TEST_F(CommitTest, AHugeSettingsFileIsReadForItsBlockOnly) {
  MERVANE_POSIX_ONLY("the peak memory of the process (getrusage)");
}

TEST_F(CommitTest, TheNextSaveRemovesTemporaryFilesOfDeadProcesses) {
  MERVANE_POSIX_ONLY("fork, to get the number of a process that has ended");
}
#endif

// ---- Numbers a channel cannot work with ------------------------------------------------------------

// A coefficient that is not a number, infinite or 0, or an offset that is not a number, is
// refused by SM_Setup (adding or changing a slot) and by the slot configuration under it.
TEST_F(CommitTest, SetupRefusesUnusableCoefficientsAndOffsets) {
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AddMotor(0, 1, "X"), 0);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* what;
    float coefficient;
    float offset;
    bool usable;
  };
  const Case cases[] = {
      {"coefficient NaN", nan, 0.0f, false},   {"coefficient +inf", inf, 0.0f, false},
      {"coefficient -inf", -inf, 0.0f, false}, {"coefficient 0", 0.0f, 0.0f, false},
      {"coefficient -0", -0.0f, 0.0f, false},  {"offset NaN", 100.0f, nan, false},
      {"negative coefficient", -100.0f, 0.0f, true}, {"tiny coefficient", 1e-29f, 2.5f, true},
      {"negative tiny coefficient", -1e-29f, 0.0f, true},
      // Below 2^31 / FLT_MAX a position no longer fits the file's float units.
      {"coefficient too small for the file", 6e-30f, 0.0f, false},
      {"denormal coefficient", 1.43633e-42f, 0.0f, false},
  };
  const Observed before = Observe();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MotorInfo info = FourWireInfo(2, "Z", c.coefficient);
    info.offset = c.offset;
    MotorRecord record;
    std::memcpy(&record, &info, sizeof record);
    EXPECT_EQ(UsableNumbers(record), c.usable);
    if (c.usable) continue;
    EXPECT_EQ(SM_Setup(0, -1, &info), -1);
    EXPECT_EQ(SM_Setup(0, 0, &info), -1);
    LibraryLock lock;
    EXPECT_FALSE(ConfigureSlot(Device(0), 0, record, true));
  }
  EXPECT_EQ(Observe(), before);
  MotorInfo usable = FourWireInfo(2, "Z", -100.0f);
  EXPECT_EQ(SM_Setup(0, -1, &usable), 1);
}

}  // namespace
}  // namespace mervane::testing
