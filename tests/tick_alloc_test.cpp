// The tick allocates nothing. This file replaces the global allocation functions of the whole
// test program with ones that count, but only on a thread that has asked to be counted and only
// while it has; every other test allocates as usual.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "hardware/driver.h"
#include "support.h"

// The emulator's own D2XX functions (the test program links it), to build a driver table whose
// write can step outside the counted region: the emulator's log allocates, the library must not.
namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};

void* Allocate(std::size_t size) {
  if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
  auto align = static_cast<std::size_t>(alignment);
  std::size_t rounded = (size + align - 1) / align * align;
#if defined(_WIN32)
  return _aligned_malloc(rounded == 0 ? align : rounded, align);  // the C runtime has no aligned_alloc
#else
  return std::aligned_alloc(align, rounded == 0 ? align : rounded);
#endif
}
// Out of line: the compiler must not pair a free() it can see with the operator new it inlined.
[[gnu::noinline]] void Deallocate(void* p) noexcept { std::free(p); }
#if defined(_WIN32)
[[gnu::noinline]] void DeallocateAligned(void* p) noexcept { _aligned_free(p); }
#else
[[gnu::noinline]] void DeallocateAligned(void* p) noexcept { std::free(p); }
#endif
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* p = AllocateAligned(size, alignment)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  if (void* p = AllocateAligned(size, alignment)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
void operator delete(void* p) noexcept { Deallocate(p); }
void operator delete[](void* p) noexcept { Deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { Deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { Deallocate(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Deallocate(p); }
void operator delete(void* p, std::align_val_t) noexcept { DeallocateAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { DeallocateAligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { DeallocateAligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { DeallocateAligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { DeallocateAligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { DeallocateAligned(p); }

namespace mervane::testing {
namespace {

// Counts the allocations made on this thread while it lives.
class CountedScope {
public:
  CountedScope() : start_(g_allocations.load()) { t_counting = true; }
  ~CountedScope() { t_counting = false; }
  CountedScope(const CountedScope&) = delete;
  CountedScope& operator=(const CountedScope&) = delete;
  long Allocations() const { return g_allocations.load() - start_; }

private:
  long start_;
};

// Suspends counting for a scope (the emulator's write behind the driver table).
class UncountedScope {
public:
  UncountedScope() : was_(t_counting) { t_counting = false; }
  ~UncountedScope() { t_counting = was_; }
  UncountedScope(const UncountedScope&) = delete;
  UncountedScope& operator=(const UncountedScope&) = delete;

private:
  bool was_;
};

FT_STATUS FTD2XX_CALL UncountedWrite(FT_HANDLE handle, void* buffer, FT_DWORD length, FT_DWORD* written) {
  UncountedScope uncounted;
  return FT_Write(handle, buffer, length, written);
}

std::atomic<int> g_stops{0};
void CountStop(std::uint32_t) { g_stops.fetch_add(1, std::memory_order_relaxed); }

// The emulator as driver library, its write outside the counted region. Afterwards the plain
// emulator table stays installed (the same library the other tests load by name).
class TickAllocationTest : public MotionTest {
protected:
  void SetUp() override {
    GetRuntime().driver.Install(EmulatorTable(&UncountedWrite));
    MotionTest::SetUp();
  }
  void TearDown() override {
    MotionTest::TearDown();
    GetRuntime().driver.Install(EmulatorTable(&FT_Write));
  }
};

TEST(CountingAllocatorTest, CountsOnlyWhileAsked) {
  long outside = 0, inside = 0;
  {
    CountedScope scope;
    {
      UncountedScope pause;
      delete new int(1);
    }
    outside = scope.Allocations();
    auto* p = new int(2);
    auto* q = new (std::align_val_t{64}) double(3.0);
    inside = scope.Allocations();
    delete p;
    ::operator delete(q, std::align_val_t{64});
  }
  EXPECT_EQ(outside, 0);
  EXPECT_EQ(inside, 2);
}

// Seven channels of every drive, with auto release, reversals and stops, ticked through
// thousands of steps: not one allocation inside a tick.
TEST_F(TickAllocationTest, TicksOfRunningChannelsAllocateNothing) {
  const MotorSetup setups[] = {
      {.address = 1, .type = 0x01, .acceleration = 6, .minStepTime = 1, .maxStepTime = 2, .autoRelease = true},
      {.address = 2, .type = 0x85, .acceleration = 6, .minStepTime = 1},
      {.address = 3, .type = 0x86, .acceleration = 6, .minStepTime = 1, .halfSteps = true, .autoRelease = true},
      {.address = 4, .type = 0x2A, .acceleration = 6, .minStepTime = 1},
      {.address = 5, .type = 0x2B, .acceleration = 6, .minStepTime = 1, .halfSteps = true},
      {.address = 6, .type = 0xC5, .acceleration = 6, .minStepTime = 1, .autoRelease = true, .length = 150},
      {.address = 7, .type = 0x41, .acceleration = 0, .minStepTime = 2, .maxStepTime = 3},
  };
  for (const MotorSetup& setup : setups) AddMotor(setup);
  SetMotorStoppedHook(&CountStop);
  g_stops = 0;
  long k = 0, allocations = 0, ticks = 0;
  auto tickCounted = [&](int n) {
    for (int i = 0; i < n; ++i, ++ticks) {
      CountedScope scope;
      Tick(Ms(k++));
      allocations += scope.Allocations();
    }
  };
  for (int round = 0; round < 6; ++round) {
    const std::int32_t to = round % 2 == 0 ? 200 : -100;
    for (int ch = 0; ch < 7; ++ch) ASSERT_TRUE(Start(ch, to + ch, ch < 6));
    tickCounted(60);
    Stop(1);
    ASSERT_TRUE(Start(2, -to));
    tickCounted(600);
  }
  FlushStoppedEvents();
  SetMotorStoppedHook(nullptr);
  EXPECT_EQ(allocations, 0) << "over " << ticks << " ticks";
  EXPECT_GE(g_stops.load(), 6 * 7) << "the moves really ended inside the counted ticks";
  for (const MotorSetup& setup : setups)
    if (!(setup.type & kTypeBlock)) {
      EXPECT_EQ(boxsim_position(kSerial, setup.address), Motor(setup.address - 1).position) << int(setup.address);
    }
}

}  // namespace
}  // namespace mervane::testing
