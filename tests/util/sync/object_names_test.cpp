// The names other processes of the host framework open: pinned byte for byte.
#include "util/object_names.h"

#include <gtest/gtest.h>

#include <string>

namespace vornix {
namespace {

TEST(ObjectNames, InstanceNamesAreTheFrameworksOwn) {
  EXPECT_EQ(masterSectionName(7), "ZelkoraMasterMemory_7");
  EXPECT_EQ(masterMutexName(65535), "ZelkoraMasterMemoryMutex_65535");
  EXPECT_EQ(familyMutexName(SectionFamily::component, 1001), "ZelkoraComponentMemoryMutex_1001");
  EXPECT_EQ(familyMutexName(SectionFamily::process, 0), "ZelkoraProcessMemoryMutex_0");
  EXPECT_EQ(familyMutexName(SectionFamily::temporal, 12), "ZelkoraTemporalMemoryMutex_12");
  EXPECT_EQ(familyMutexName(SectionFamily::dataMaps, 3), "ZelkoraDataMapsMemoryMutex_3");
  EXPECT_EQ(familySectionName(SectionFamily::component, 1001, 0), "ZelkoraComponentMemory_1001_0");
  EXPECT_EQ(familySectionName(SectionFamily::process, 5, 4294967295U),
            "ZelkoraProcessMemory_5_4294967295");
  EXPECT_EQ(familySectionName(SectionFamily::temporal, 9, 10), "ZelkoraTemporalMemory_9_10");
  EXPECT_EQ(familySectionName(SectionFamily::dataMaps, 40, 2), "ZelkoraDataMapsMemory_40_2");
  EXPECT_EQ(temporalOwnerName(8), "ZelkoraTemporalOwner_8");
  EXPECT_EQ(queueSemaphoreName(1001, 1), "ZelkoraQueue_1001_1");
  EXPECT_EQ(inboundSemaphoreName(2, 300), "ZelkoraInbound_2_300");
  EXPECT_EQ(instanceClaimFileName(60999), "Local\\Claim_ZelkoraInstance_60999");
  EXPECT_EQ(instanceClaimMutexName(4), "Local\\Mutex_ZelkoraInstanceClaim_4");
  EXPECT_EQ(masterSectionFullPrefix(), "Local\\Shmem_ZelkoraMasterMemory_");
}

// Prefixes are what cleanup removes by: each must start every name it covers
// and no name of another instance whose number merely starts the same.
TEST(ObjectNames, PrefixesCoverTheirInstanceOnly) {
  for (const SectionFamily family : kSectionFamilies) {
    const std::string prefix = familySectionPrefix(family, 10);
    EXPECT_TRUE(familySectionName(family, 10, 3).starts_with(prefix));
    EXPECT_FALSE(familySectionName(family, 100, 3).starts_with(prefix));
    EXPECT_FALSE(familyMutexName(family, 10).starts_with(prefix));
  }
  EXPECT_TRUE(queueSemaphoreName(10, 7).starts_with(queueSemaphorePrefix(10)));
  EXPECT_FALSE(queueSemaphoreName(101, 7).starts_with(queueSemaphorePrefix(10)));
  EXPECT_TRUE(inboundSemaphoreName(10, 7).starts_with(inboundSemaphorePrefix(10)));
  EXPECT_FALSE(inboundSemaphoreName(101, 7).starts_with(inboundSemaphorePrefix(10)));
  EXPECT_TRUE(sectionFullName(masterSectionName(3)).starts_with(masterSectionFullPrefix()));
}

TEST(ObjectNames, FullNamesEndTheLogicalNameAtItsFirstNul) {
  EXPECT_EQ(mutexFullName("a"), "Local\\Mutex_a");
  EXPECT_EQ(semaphoreFullName(std::string("b\0c", 3)), "Local\\Semaphore_b");
  EXPECT_EQ(sectionFullName(""), "Local\\Shmem_");
}

}  // namespace
}  // namespace vornix
