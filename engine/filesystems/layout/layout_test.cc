// Discs mastered through the engine's C interface, checked field by field through the layout
// headers alone. Nothing here goes through the reader, so a misreading that the writer and the
// reader share shows up against the offsets the headers name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "datadisk/mastering/test_util.h"
#include "filesystems/layout/ecma119_layout.h"
#include "filesystems/layout/ecma167_layout.h"
#include "filesystems/layout/el_torito_layout.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::fs {
namespace {

using mastering::testing::DiscHolder;
using mastering::testing::ReadAll;
using mastering::testing::ScratchFolder;
using mastering::testing::U16;

constexpr size_t kBlock = 2048;
const std::string kFileContent = "layout check\n";

// A mastered image with its blocks.
class Image {
 public:
  explicit Image(std::string bytes) : bytes_(std::move(bytes)) {}
  size_t blocks() const { return bytes_.size() / kBlock; }
  const uint8_t* block(uint64_t number) const {
    EXPECT_LT(number, blocks());
    if (number >= blocks()) return zero_;
    return reinterpret_cast<const uint8_t*>(bytes_.data()) + number * kBlock;
  }
  std::string Bytes(uint64_t block_number, size_t size) const {
    if ((block_number * kBlock + size) > bytes_.size()) return {};
    return bytes_.substr(block_number * kBlock, size);
  }

 private:
  std::string bytes_;
  uint8_t zero_[kBlock] = {};
};

class LayoutTest : public ::testing::Test {
 protected:
  // Masters a disc with FOLDER/FILE.TXT (and optional boot images) in file_system.
  Image Master(DWORD file_system, bool boot = false) {
    folder_.Write("source/FOLDER/FILE.TXT", kFileContent);
    EXPECT_NE(disc_.Add(folder_ / "source/FOLDER", "FOLDER"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(MST_SetFileSystem(disc_.get(), file_system), QD_OK);
    EXPECT_EQ(MST_SetVolumeLabel(disc_.get(), u"LAYOUT_DISC"), QD_OK);
    if (boot) {
      bios_image_ = std::string(kBlock, '\x90');
      EXPECT_EQ(
          MST_ReadBootImageFile(disc_.get(), U16(folder_.Write("bios.img", bios_image_)).c_str(),
                                MST_BOOT_NO_EMULATION, 0, 4),
          QD_OK);
      efi_image_ = std::string(3000, 'E');
      efi_image_[510] = '\x55';
      efi_image_[511] = '\xAA';
      EXPECT_EQ(
          MST_ReadEfiBootImageFile(disc_.get(), U16(folder_.Write("efi.img", efi_image_)).c_str()),
          QD_OK);
    }
    std::string path = folder_ / "disc.iso";
    EXPECT_EQ(MST_CreateISOImage(U16(path).c_str(), disc_.get(), nullptr, TRUE), QD_OK);
    return Image(ReadAll(path));
  }

  ScratchFolder folder_;
  DiscHolder disc_;
  std::string bios_image_;
  std::string efi_image_;
};

// ---- ISO 9660 and Joliet ----

// The volume descriptor of a type in the set from block 16, or null.
const uint8_t* FindDescriptor(const Image& image, uint8_t type) {
  for (uint32_t b = ecma119::kFirstDescriptorBlock; b < ecma119::kFirstDescriptorBlock + 16; ++b) {
    const uint8_t* d = image.block(b);
    if (std::memcmp(d + ecma119::kStandardIdentifier, ecma119::kStandardId,
                    ecma119::kStandardIdentifierSize) != 0)
      return nullptr;
    if (d[ecma119::kDescriptorType] == type) return d;
    if (d[ecma119::kDescriptorType] == ecma119::kTypeTerminator) return nullptr;
  }
  return nullptr;
}

// Checks a directory record's fixed fields; returns its length.
size_t ExpectSoundRecord(const uint8_t* r) {
  const size_t length = r[ecma119::kRecordLength];
  EXPECT_GE(length, ecma119::kMinRecordLength);
  EXPECT_EQ(length % 2, 0u);
  EXPECT_EQ(length,
            (ecma119::kRecordIdentifier + r[ecma119::kRecordIdentifierLength] + 1) & ~size_t{1});
  EXPECT_EQ(r[ecma119::kRecordAttributeLength], 0);
  EXPECT_TRUE(ecma119::BothAgree32(r + ecma119::kRecordExtentLocation));
  EXPECT_TRUE(ecma119::BothAgree32(r + ecma119::kRecordDataLength));
  EXPECT_TRUE(ecma119::BothAgree16(r + ecma119::kRecordVolumeSequence));
  EXPECT_EQ(ecma119::GetBoth16(r + ecma119::kRecordVolumeSequence), 1);
  EXPECT_GE(r[ecma119::kRecordDate + ecma119::kDateMonth], 1);
  EXPECT_LE(r[ecma119::kRecordDate + ecma119::kDateMonth], 12);
  return length;
}

struct Record {
  std::string identifier;
  uint32_t location = 0;
  uint32_t length = 0;
  uint8_t flags = 0;
};

// The records of the directory at block, "." and ".." included.
std::vector<Record> Directory(const Image& image, uint32_t block, uint32_t bytes) {
  std::vector<Record> records;
  for (uint32_t b = 0; b * kBlock < bytes; ++b) {
    const uint8_t* data = image.block(block + b);
    size_t pos = 0;
    while (pos < kBlock && data[pos] != 0) {
      const uint8_t* r = data + pos;
      const size_t length = ExpectSoundRecord(r);
      if (length < ecma119::kMinRecordLength || pos + length > kBlock) return records;
      Record record;
      record.identifier.assign(reinterpret_cast<const char*>(r + ecma119::kRecordIdentifier),
                               r[ecma119::kRecordIdentifierLength]);
      record.location = ecma119::GetBoth32(r + ecma119::kRecordExtentLocation);
      record.length = ecma119::GetBoth32(r + ecma119::kRecordDataLength);
      record.flags = r[ecma119::kRecordFlags];
      records.push_back(record);
      pos += length;
    }
  }
  return records;
}

// The identifier of a Joliet record as ASCII (each UCS-2 unit's low byte).
std::string Narrow(const std::string& ucs2) {
  std::string out;
  for (size_t i = 1; i < ucs2.size(); i += 2) out.push_back(ucs2[i]);
  return out;
}

// Checks a primary or supplementary descriptor and the tree below it: the root record, "." and
// "..", the folder, the file and its content, and the L and M path tables.
void ExpectVolume(const Image& image, const uint8_t* d, bool joliet) {
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d[ecma119::kDescriptorVersion], ecma119::kDescriptorVersionValue);
  EXPECT_EQ(d[ecma119::kFileStructureVersion], ecma119::kFileStructureVersionValue);
  EXPECT_EQ(ecma119::GetBoth16(d + ecma119::kVolumeSetSize), ecma119::kSingleVolume);
  EXPECT_EQ(ecma119::GetBoth16(d + ecma119::kVolumeSequenceNumber), ecma119::kSingleVolume);
  for (size_t field : {ecma119::kVolumeSpaceSize, ecma119::kPathTableSize})
    EXPECT_TRUE(ecma119::BothAgree32(d + field)) << field;
  for (size_t field :
       {ecma119::kVolumeSetSize, ecma119::kVolumeSequenceNumber, ecma119::kLogicalBlockSize})
    EXPECT_TRUE(ecma119::BothAgree16(d + field)) << field;
  EXPECT_EQ(ecma119::GetBoth16(d + ecma119::kLogicalBlockSize), kBlock);
  EXPECT_EQ(ecma119::GetBoth32(d + ecma119::kVolumeSpaceSize), image.blocks());
  if (joliet) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + ecma119::kEscapeSequences),
                          ecma119::kJolietEscapeSize),
              "%/E");
    EXPECT_EQ(d[ecma119::kEscapeSequences + 2], ecma119::kJolietLevel3);
    EXPECT_EQ(
        Narrow(std::string(reinterpret_cast<const char*>(d + ecma119::kVolumeIdentifier), 22)),
        "LAYOUT_DISC");
  } else {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + ecma119::kVolumeIdentifier),
                          ecma119::kVolumeIdentifierSize),
              "LAYOUT_DISC" + std::string(21, ' '));
  }
  // The volume dates: 16 digits and a zone byte.
  for (size_t i = 0; i < 16; ++i) EXPECT_TRUE(std::isdigit(d[ecma119::kCreationDate + i])) << i;

  const uint8_t* root = d + ecma119::kRootDirectoryRecord;
  EXPECT_EQ(root[ecma119::kRecordLength], ecma119::kRootDirectoryRecordSize);
  EXPECT_EQ(root[ecma119::kRecordIdentifierLength], 1);
  EXPECT_EQ(root[ecma119::kRecordIdentifier], ecma119::kSelfIdentifier);
  EXPECT_TRUE(root[ecma119::kRecordFlags] & ecma119::kFlagDirectory);
  ExpectSoundRecord(root);
  const uint32_t root_block = ecma119::GetBoth32(root + ecma119::kRecordExtentLocation);
  const uint32_t root_bytes = ecma119::GetBoth32(root + ecma119::kRecordDataLength);
  EXPECT_EQ(root_bytes % kBlock, 0u);

  std::vector<Record> top = Directory(image, root_block, root_bytes);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].identifier, std::string(1, '\0'));
  EXPECT_EQ(top[0].location, root_block);
  EXPECT_EQ(top[1].identifier, std::string(1, '\1'));
  EXPECT_EQ(top[1].location, root_block);  // the root is its own parent
  EXPECT_EQ(joliet ? Narrow(top[2].identifier) : top[2].identifier, "FOLDER");
  EXPECT_EQ(top[2].flags & ecma119::kFlagDirectory, ecma119::kFlagDirectory);
  std::vector<Record> inner = Directory(image, top[2].location, top[2].length);
  ASSERT_EQ(inner.size(), 3u);
  EXPECT_EQ(inner[0].location, top[2].location);
  EXPECT_EQ(inner[1].location, root_block);
  EXPECT_EQ(joliet ? Narrow(inner[2].identifier) : inner[2].identifier, "FILE.TXT;1");
  EXPECT_EQ(inner[2].flags & (ecma119::kFlagDirectory | ecma119::kFlagMultiExtent), 0);
  EXPECT_EQ(inner[2].length, kFileContent.size());
  EXPECT_EQ(image.Bytes(inner[2].location, inner[2].length), kFileContent);

  // L and M path tables: the root (identifier 0, its own parent), then FOLDER under record 1.
  const uint32_t table_size = ecma119::GetBoth32(d + ecma119::kPathTableSize);
  const uint8_t* l = image.block(GetLe32(d + ecma119::kLPathTableLocation));
  const uint8_t* m = image.block(GetBe32(d + ecma119::kMPathTableLocation));
  EXPECT_EQ(std::memcmp(l, m, 2), 0);
  EXPECT_EQ(l[ecma119::kPathIdentifierLength], 1);
  EXPECT_EQ(l[ecma119::kPathIdentifier], 0);
  EXPECT_EQ(GetLe32(l + ecma119::kPathExtentLocation), root_block);
  EXPECT_EQ(GetBe32(m + ecma119::kPathExtentLocation), root_block);
  EXPECT_EQ(GetLe16(l + ecma119::kPathParentNumber), 1);
  EXPECT_EQ(GetBe16(m + ecma119::kPathParentNumber), 1);
  const size_t second = ecma119::kPathRecordHeaderSize + 2;  // one identifier byte and its pad
  const size_t name_length = l[second + ecma119::kPathIdentifierLength];
  EXPECT_EQ(name_length, joliet ? 12u : 6u);
  EXPECT_EQ(GetLe32(l + second + ecma119::kPathExtentLocation), top[2].location);
  EXPECT_EQ(GetBe32(m + second + ecma119::kPathExtentLocation), top[2].location);
  EXPECT_EQ(GetLe16(l + second + ecma119::kPathParentNumber), 1);
  EXPECT_EQ(table_size, second + ecma119::kPathRecordHeaderSize + name_length + (name_length & 1));
}

TEST_F(LayoutTest, IsoAndJolietFieldsSitWhereTheLayoutNamesThem) {
  Image image = Master(MST_FS_ISO9660_JOLIET);
  ASSERT_GT(image.blocks(), 20u);
  ExpectVolume(image, FindDescriptor(image, ecma119::kTypePrimary), false);
  ExpectVolume(image, FindDescriptor(image, ecma119::kTypeSupplementary), true);
  EXPECT_NE(FindDescriptor(image, ecma119::kTypeTerminator), nullptr);
  EXPECT_EQ(FindDescriptor(image, ecma119::kTypeBootRecord), nullptr);
}

// ---- El Torito ----

TEST_F(LayoutTest, BootCatalogEntriesSitWhereTheLayoutNamesThem) {
  Image image = Master(MST_FS_ISO9660_JOLIET, true);
  const uint8_t* boot = FindDescriptor(image, ecma119::kTypeBootRecord);
  ASSERT_NE(boot, nullptr);
  EXPECT_EQ(std::memcmp(boot + ecma119::kBootSystemIdentifier, eltorito::kBootSystemId,
                        sizeof eltorito::kBootSystemId),
            0);  // zero padded
  const uint8_t* catalog = image.block(GetLe32(boot + eltorito::kBootCatalogPointer));

  EXPECT_EQ(catalog[eltorito::kValidationHeaderId], eltorito::kHeaderValidation);
  EXPECT_EQ(catalog[eltorito::kValidationPlatform], eltorito::kPlatform80x86);
  EXPECT_EQ(catalog[eltorito::kValidationKey55], eltorito::kKey55);
  EXPECT_EQ(catalog[eltorito::kValidationKeyAA], eltorito::kKeyAA);
  EXPECT_EQ(eltorito::ValidationSum(catalog), 0);

  const uint8_t* initial = catalog + eltorito::kDefaultEntryOffset;
  EXPECT_EQ(initial[eltorito::kEntryBootIndicator], eltorito::kHeaderBootable);
  EXPECT_EQ(initial[eltorito::kEntryMediaType] & eltorito::kMediaTypeMask,
            eltorito::kMediaNoEmulation);
  EXPECT_EQ(GetLe16(initial + eltorito::kEntrySectorCount), 4);
  EXPECT_EQ(image.Bytes(GetLe32(initial + eltorito::kEntryLoadRba), bios_image_.size()),
            bios_image_);

  const uint8_t* section = initial + eltorito::kEntrySize;
  EXPECT_EQ(section[eltorito::kSectionHeaderId], eltorito::kHeaderLastSection);
  EXPECT_EQ(section[eltorito::kSectionPlatform], eltorito::kPlatformUefi);
  EXPECT_EQ(GetLe16(section + eltorito::kSectionEntryCount), 1);
  const uint8_t* efi = section + eltorito::kEntrySize;
  EXPECT_EQ(efi[eltorito::kEntryBootIndicator], eltorito::kHeaderBootable);
  EXPECT_EQ(efi[eltorito::kEntryMediaType] & eltorito::kMediaTypeMask, eltorito::kMediaNoEmulation);
  EXPECT_EQ(GetLe16(efi + eltorito::kEntrySectorCount), (efi_image_.size() + 511) / 512);
  EXPECT_EQ(image.Bytes(GetLe32(efi + eltorito::kEntryLoadRba), efi_image_.size()), efi_image_);
  // Nothing follows the last section's one entry.
  const uint8_t* after = efi + eltorito::kEntrySize;
  EXPECT_EQ(after[0], 0);
}

// ---- UDF ----

// Checks a descriptor's tag: identifier, checksum, CRC over crc_length bytes and its location.
void ExpectTag(const uint8_t* d, uint16_t id, uint32_t location, uint16_t version) {
  namespace tag = ecma167::tag;
  EXPECT_EQ(GetLe16(d + tag::kIdentifier), id);
  EXPECT_EQ(GetLe16(d + tag::kVersion), version) << id;
  EXPECT_EQ(ecma167::TagChecksum(d), d[tag::kChecksum]) << id;
  const uint16_t crc_length = GetLe16(d + tag::kCrcLength);
  EXPECT_LE(crc_length, kBlock - tag::kSize);
  EXPECT_EQ(ecma167::DescriptorCrc(d + tag::kSize, crc_length), GetLe16(d + tag::kCrc)) << id;
  EXPECT_EQ(GetLe32(d + tag::kLocation), location) << id;
}

std::string Identifier(const uint8_t* regid) {
  const char* text = reinterpret_cast<const char*>(regid + ecma167::entity::kIdentifier);
  return std::string(text, strnlen(text, ecma167::entity::kIdentifierSize));
}

// A d-string of compression 8 as text.
std::string Dstring(const uint8_t* p, size_t size) {
  const size_t used = p[size - 1];
  if (used == 0 || p[0] != ecma167::kCompression8) return {};
  return std::string(reinterpret_cast<const char*>(p + 1), used - 1);
}

struct Fid {
  uint8_t characteristics = 0;
  std::string name;
  uint32_t lbn = 0;
  uint16_t partition = 0;
};

// The extended attributes of a file entry, when it has any: the header's tag, then implementation
// use attributes, each with its checksum over the bytes before its implementation use.
void ExpectAttributes(const uint8_t* eas, uint32_t length, uint32_t lbn, uint16_t version) {
  namespace ea = ecma167::ea;
  if (length == 0) return;
  ASSERT_GE(length, ea::kHeaderSize);
  ExpectTag(eas, ecma167::kTagExtendedAttributeHeader, lbn, version);
  EXPECT_EQ(GetLe16(eas + ecma167::tag::kCrcLength), ea::kHeaderSize - ecma167::tag::kSize);
  size_t at = GetLe32(eas + ea::kImplementationAttributesLocation);
  std::vector<std::string> identifiers;
  while (at + ea::kImplementationUse <= length) {
    const uint8_t* attribute = eas + at;
    EXPECT_EQ(GetLe32(attribute + ea::kAttributeType), ea::kTypeImplementationUse);
    EXPECT_EQ(attribute[ea::kAttributeSubtype], ea::kSubtype);
    const uint32_t attribute_length = GetLe32(attribute + ea::kAttributeLength);
    ASSERT_GE(attribute_length, ea::kImplementationUse);
    EXPECT_EQ(attribute_length,
              ea::kImplementationUse + GetLe32(attribute + ea::kImplementationUseLength));
    uint16_t sum = 0;
    for (size_t i = 0; i < ea::kHeaderChecksum; ++i)
      sum = static_cast<uint16_t>(sum + attribute[i]);
    EXPECT_EQ(GetLe16(attribute + ea::kHeaderChecksum), sum);
    identifiers.push_back(Identifier(attribute + ea::kImplementationIdentifier));
    at += attribute_length;
  }
  EXPECT_EQ(at, length);
  EXPECT_EQ(identifiers, (std::vector<std::string>{ecma167::kFreeEaSpace, ecma167::kDvdCgmsInfo}));
}

void CheckUdf(const Image& image, uint16_t revision) {
  namespace ad = ecma167::ad;
  const bool v250 = revision >= ecma167::kUdfRevision250;
  const uint16_t version = v250 ? 3 : 2;
  // The recognition sequence.
  std::vector<std::string> sequence;
  for (uint32_t b = ecma119::kFirstDescriptorBlock; b < ecma119::kFirstDescriptorBlock + 16; ++b) {
    sequence.emplace_back(
        reinterpret_cast<const char*>(image.block(b) + ecma119::kStandardIdentifier),
        ecma119::kStandardIdentifierSize);
  }
  auto has = [&](const char* id) {
    return std::find(sequence.begin(), sequence.end(), id) != sequence.end();
  };
  EXPECT_TRUE(has(ecma167::kBeginExtendedArea));
  EXPECT_TRUE(has(v250 ? ecma167::kNsr03 : ecma167::kNsr02));
  EXPECT_TRUE(has(ecma167::kTerminateExtendedArea));

  const uint8_t* anchor = image.block(ecma167::kAnchorBlock);
  ExpectTag(anchor, ecma167::kTagAnchor, ecma167::kAnchorBlock, version);
  const uint8_t* main_extent = anchor + ecma167::anchor::kMainSequence;
  const uint8_t* reserve_extent = anchor + ecma167::anchor::kReserveSequence;
  EXPECT_GE(GetLe32(main_extent + ecma167::extent::kLength),
            ecma167::anchor::kMinSequenceBlocks * kBlock);
  EXPECT_GE(GetLe32(reserve_extent + ecma167::extent::kLength),
            ecma167::anchor::kMinSequenceBlocks * kBlock);
  const uint32_t main_block = GetLe32(main_extent + ecma167::extent::kLocation);
  EXPECT_NE(main_block, GetLe32(reserve_extent + ecma167::extent::kLocation));

  uint32_t partition_start = 0, partition_length = 0, fsd_lbn = 0, integrity_block = 0;
  uint32_t metadata_file = 0;
  bool seen_terminator = false;
  std::vector<uint16_t> seen;
  for (uint32_t b = main_block; b < main_block + 16 && !seen_terminator; ++b) {
    const uint8_t* d = image.block(b);
    const uint16_t id = GetLe16(d + ecma167::tag::kIdentifier);
    ExpectTag(d, id, b, version);
    seen.push_back(id);
    switch (id) {
      case ecma167::kTagPrimaryVolume: {
        namespace pvd = ecma167::pvd;
        EXPECT_EQ(GetLe16(d + pvd::kInterchangeLevel), pvd::kInterchangeLevelSingleVolume);
        EXPECT_EQ(GetLe32(d + pvd::kCharacterSetList), ecma167::kCharacterSetListCs0);
        const uint16_t type_and_zone = GetLe16(d + pvd::kRecordingTime);
        EXPECT_EQ(type_and_zone >> ecma167::timestamp::kTypeShift, ecma167::timestamp::kTypeLocal);
        EXPECT_GE(GetLe16(d + pvd::kRecordingTime + ecma167::timestamp::kYear), 2000);
        EXPECT_EQ(Dstring(d + ecma167::pvd::kVolumeIdentifier, ecma167::pvd::kVolumeIdentifierSize),
                  "LAYOUT_DISC");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + ecma167::pvd::kDescriptorCharset +
                                                            ecma167::charset::kInformation)),
                  ecma167::kOstaCompressedUnicode);
        break;
      }
      case ecma167::kTagImplementationUse:
        EXPECT_EQ(Identifier(d + ecma167::iuvd::kImplementationIdentifier),
                  ecma167::kLogicalVolumeInfo);
        EXPECT_EQ(Dstring(d + ecma167::iuvd::kLogicalVolumeIdentifier,
                          ecma167::iuvd::kLogicalVolumeIdentifierSize),
                  "LAYOUT_DISC");
        break;
      case ecma167::kTagPartition:
        EXPECT_EQ(GetLe16(d + ecma167::pd::kFlags), ecma167::pd::kFlagAllocated);
        EXPECT_EQ(GetLe16(d + ecma167::pd::kNumber), 0);
        EXPECT_EQ(Identifier(d + ecma167::pd::kContents),
                  v250 ? ecma167::kPartitionContentsNsr03 : ecma167::kPartitionContentsNsr02);
        EXPECT_EQ(GetLe32(d + ecma167::pd::kAccessType), ecma167::pd::kAccessReadOnly);
        partition_start = GetLe32(d + ecma167::pd::kStartingLocation);
        partition_length = GetLe32(d + ecma167::pd::kLength);
        break;
      case ecma167::kTagLogicalVolume: {
        namespace lvd = ecma167::lvd;
        namespace map = ecma167::map;
        EXPECT_EQ(GetLe32(d + lvd::kLogicalBlockSize), kBlock);
        EXPECT_EQ(Dstring(d + lvd::kLogicalVolumeIdentifier, lvd::kLogicalVolumeIdentifierSize),
                  "LAYOUT_DISC");
        EXPECT_EQ(Identifier(d + lvd::kDomainIdentifier), ecma167::kDomainOstaCompliant);
        EXPECT_EQ(GetLe16(d + lvd::kDomainIdentifier + ecma167::entity::kSuffixRevision), revision);
        fsd_lbn = GetLe32(d + lvd::kContentsUse + ad::kPosition);
        EXPECT_EQ(GetLe16(d + lvd::kContentsUse + ad::kPartition), v250 ? 1 : 0);
        integrity_block = GetLe32(d + lvd::kIntegritySequence + ecma167::extent::kLocation);
        const uint8_t* first = d + lvd::kPartitionMaps;
        EXPECT_EQ(first[map::kType], map::kType1);
        EXPECT_EQ(first[map::kLength], map::kType1Length);
        EXPECT_EQ(GetLe16(first + map::kType1PartitionNumber), 0);
        EXPECT_EQ(GetLe32(d + lvd::kPartitionMapCount), v250 ? 2u : 1u);
        EXPECT_EQ(GetLe32(d + lvd::kMapTableLength),
                  v250 ? map::kType1Length + map::kType2Length : map::kType1Length);
        if (v250) {
          const uint8_t* second = first + map::kType1Length;
          EXPECT_EQ(second[map::kType], map::kType2);
          EXPECT_EQ(second[map::kLength], map::kType2Length);
          EXPECT_EQ(Identifier(second + map::kType2Identifier), ecma167::kMetadataPartition);
          EXPECT_EQ(GetLe16(second + map::kType2PartitionNumber), 0);
          metadata_file = GetLe32(second + map::kMetadataFileLocation);
          EXPECT_EQ(GetLe32(second + map::kMetadataBitmapLocation), map::kNoMetadataBitmap);
          EXPECT_EQ(second[map::kMetadataFlags], map::kMetadataFlagDuplicate);
          EXPECT_GT(GetLe32(second + map::kMetadataAllocationUnit), 0u);
          EXPECT_NE(metadata_file, GetLe32(second + map::kMetadataMirrorLocation));
        }
        break;
      }
      case ecma167::kTagTerminating:
        seen_terminator = true;
        break;
    }
  }
  EXPECT_TRUE(seen_terminator);
  for (uint16_t id :
       {ecma167::kTagPrimaryVolume, ecma167::kTagImplementationUse, ecma167::kTagPartition,
        ecma167::kTagLogicalVolume, ecma167::kTagUnallocatedSpace}) {
    EXPECT_NE(std::find(seen.begin(), seen.end(), id), seen.end()) << id;
  }
  ASSERT_NE(partition_start, 0u);
  EXPECT_LE(uint64_t{partition_start} + partition_length, image.blocks());

  // The integrity descriptor: closed, with the counts of this disc (one folder, one file).
  namespace lvid = ecma167::lvid;
  const uint8_t* integrity = image.block(integrity_block);
  ExpectTag(integrity, ecma167::kTagIntegrity, integrity_block, version);
  EXPECT_EQ(GetLe32(integrity + lvid::kIntegrityType), lvid::kIntegrityClosed);
  const uint32_t partitions = GetLe32(integrity + lvid::kPartitionCount);
  EXPECT_EQ(partitions, v250 ? 2u : 1u);
  EXPECT_EQ(GetLe32(integrity + lvid::kImplementationUseLength), lvid::kUseSize);
  EXPECT_EQ(GetLe32(integrity + lvid::SizeTable(partitions)), partition_length);
  const uint8_t* use = integrity + lvid::ImplementationUse(partitions);
  EXPECT_EQ(GetLe32(use + lvid::kUseFileCount), 1u);
  EXPECT_EQ(GetLe32(use + lvid::kUseDirectoryCount), 2u);  // the root and FOLDER
  EXPECT_EQ(GetLe16(use + lvid::kUseMinReadRevision), revision);
  EXPECT_EQ(GetLe16(use + lvid::kUseMaxWriteRevision), revision);
  ExpectTag(integrity + kBlock, ecma167::kTagTerminating, integrity_block + 1, version);

  // Logical blocks of the partition the file set lives in: 2.50 maps them through the metadata
  // file, whose (only) extent the metadata partition's blocks index.
  uint32_t metadata_base = partition_start;
  if (v250) {
    // The metadata file's entry may be either kind.
    const uint8_t* entry = image.block(partition_start + metadata_file);
    const bool extended =
        GetLe16(entry + ecma167::tag::kIdentifier) == ecma167::kTagExtendedFileEntry;
    ExpectTag(entry, extended ? ecma167::kTagExtendedFileEntry : ecma167::kTagFileEntry,
              metadata_file, version);
    EXPECT_EQ(entry[ecma167::entry::kFileType], ecma167::icb::kTypeMetadataFile);
    EXPECT_EQ(GetLe16(entry + ecma167::entry::kIcbFlags) & ecma167::icb::kAdTypeMask,
              ecma167::icb::kShortAds);
    const size_t eas =
        extended ? ecma167::efe::kExtendedAttributes : ecma167::fe::kExtendedAttributes;
    const size_t eas_length =
        extended ? ecma167::efe::kExtendedAttributesLength : ecma167::fe::kExtendedAttributesLength;
    const uint8_t* first = entry + eas + GetLe32(entry + eas_length);
    metadata_base = partition_start + GetLe32(first + ad::kPosition);
  }

  // The file set descriptor, then the root: a parent FID and FOLDER; then FOLDER: FILE.TXT.
  namespace fsd = ecma167::fsd;
  const uint8_t* file_set = image.block(metadata_base + fsd_lbn);
  ExpectTag(file_set, ecma167::kTagFileSet, fsd_lbn, version);
  EXPECT_EQ(Identifier(file_set + fsd::kDomainIdentifier), ecma167::kDomainOstaCompliant);
  EXPECT_EQ(GetLe16(file_set + fsd::kDomainIdentifier + ecma167::entity::kSuffixRevision),
            revision);
  EXPECT_EQ(Dstring(file_set + fsd::kLogicalVolumeIdentifier, 128), "LAYOUT_DISC");
  uint32_t entry_lbn = GetLe32(file_set + fsd::kRootDirectoryIcb + ad::kPosition);
  EXPECT_EQ(GetLe16(file_set + fsd::kRootDirectoryIcb + ad::kPartition), v250 ? 1 : 0);

  // Reads the file entry at a metadata-partition block: its type, and its content with the block
  // the content starts at (the entry's own block when the content is embedded). UDF 1.02 knows only
  // the file entry; 2.50 allows the extended one too.
  auto read_entry = [&](uint32_t lbn, uint8_t* file_type, std::string* data, uint32_t* data_lbn) {
    *data_lbn = lbn;
    const uint8_t* entry = image.block(metadata_base + lbn);
    const bool extended =
        GetLe16(entry + ecma167::tag::kIdentifier) == ecma167::kTagExtendedFileEntry;
    EXPECT_TRUE(v250 || !extended);
    ExpectTag(entry, extended ? ecma167::kTagExtendedFileEntry : ecma167::kTagFileEntry, lbn,
              version);
    const size_t ads_at =
        extended ? ecma167::efe::kExtendedAttributes : ecma167::fe::kExtendedAttributes;
    const size_t ea_length_at =
        extended ? ecma167::efe::kExtendedAttributesLength : ecma167::fe::kExtendedAttributesLength;
    const size_t ad_length_at = extended ? ecma167::efe::kAllocationDescriptorsLength
                                         : ecma167::fe::kAllocationDescriptorsLength;
    *file_type = entry[ecma167::entry::kFileType];
    const uint64_t size = GetLe64(entry + ecma167::entry::kInformationLength);
    EXPECT_EQ(GetLe32(entry + ecma167::entry::kUid), ecma167::entry::kUnspecifiedId);
    EXPECT_EQ(GetLe32(entry + ecma167::entry::kGid), ecma167::entry::kUnspecifiedId);
    EXPECT_TRUE(GetLe32(entry + ecma167::entry::kPermissions) & ecma167::entry::kOtherRead);
    ExpectAttributes(entry + ads_at, GetLe32(entry + ea_length_at), lbn, version);
    const uint16_t ad_type = GetLe16(entry + ecma167::entry::kIcbFlags) & ecma167::icb::kAdTypeMask;
    const uint8_t* ads = entry + ads_at + GetLe32(entry + ea_length_at);
    const uint32_t ad_bytes = GetLe32(entry + ad_length_at);
    if (ad_type == ecma167::icb::kEmbedded) {
      EXPECT_EQ(ad_bytes, size);
      data->assign(reinterpret_cast<const char*>(ads), size);
      return;
    }
    ASSERT_TRUE(ad_type == ecma167::icb::kShortAds || ad_type == ecma167::icb::kLongAds);
    ASSERT_GE(ad_bytes, ad_type == ecma167::icb::kShortAds ? ad::kShortSize : ad::kLongSize);
    const uint32_t length = GetLe32(ads + ad::kLength);
    EXPECT_EQ(length >> ad::kTypeShift, ad::kRecorded);
    EXPECT_EQ(length & ad::kLengthMask, size);
    // Directories live in the metadata partition, file data in the physical one.
    const bool in_metadata = *file_type == ecma167::icb::kTypeDirectory;
    const uint32_t base = in_metadata ? metadata_base : partition_start;
    *data_lbn = GetLe32(ads + ad::kPosition);
    *data = image.Bytes(base + *data_lbn, size);
  };
  auto parse_fids = [&](const std::string& data, uint32_t lbn) {
    std::vector<Fid> fids;
    namespace fid = ecma167::fid;
    size_t pos = 0;
    while (pos + fid::kHeaderSize <= data.size()) {
      const uint8_t* f = reinterpret_cast<const uint8_t*>(data.data()) + pos;
      ExpectTag(f, ecma167::kTagFileIdentifier, lbn + static_cast<uint32_t>(pos / kBlock), version);
      Fid one;
      one.characteristics = f[fid::kCharacteristics];
      const size_t use = GetLe16(f + fid::kImplementationUseLength);
      const size_t name = f[fid::kIdentifierLength];
      if (name > 0) {
        EXPECT_EQ(f[fid::kImplementationUse + use], ecma167::kCompression8);
        one.name.assign(reinterpret_cast<const char*>(f + fid::kImplementationUse + use + 1),
                        name - 1);
      }
      one.lbn = GetLe32(f + fid::kIcb + ad::kPosition);
      one.partition = GetLe16(f + fid::kIcb + ad::kPartition);
      // The CRC covers the whole descriptor after the tag, its padding included.
      EXPECT_EQ(GetLe16(f + ecma167::tag::kCrcLength),
                fid::PaddedLength(use, name) - ecma167::tag::kSize);
      fids.push_back(one);
      pos += fid::PaddedLength(use, name);
    }
    EXPECT_EQ(pos, data.size());
    return fids;
  };

  uint8_t type = 0;
  std::string root;
  uint32_t data_lbn = 0;
  read_entry(entry_lbn, &type, &root, &data_lbn);
  EXPECT_EQ(type, ecma167::icb::kTypeDirectory);
  std::vector<Fid> top = parse_fids(root, data_lbn);
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(top[0].characteristics, ecma167::fid::kParent | ecma167::fid::kDirectory);
  EXPECT_EQ(top[0].lbn, entry_lbn);  // the root's parent is the root
  EXPECT_EQ(top[1].characteristics, ecma167::fid::kDirectory);
  EXPECT_EQ(top[1].name, "FOLDER");
  EXPECT_EQ(top[1].partition, v250 ? 1 : 0);

  std::string folder;
  read_entry(top[1].lbn, &type, &folder, &data_lbn);
  EXPECT_EQ(type, ecma167::icb::kTypeDirectory);
  std::vector<Fid> inner = parse_fids(folder, data_lbn);
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_EQ(inner[0].lbn, entry_lbn);
  EXPECT_EQ(inner[1].characteristics, 0);
  EXPECT_EQ(inner[1].name, "FILE.TXT");
  std::string content;
  read_entry(inner[1].lbn, &type, &content, &data_lbn);
  EXPECT_EQ(type, ecma167::icb::kTypeFile);
  EXPECT_EQ(content, kFileContent);
}

TEST_F(LayoutTest, Udf102FieldsSitWhereTheLayoutNamesThem) {
  CheckUdf(Master(MST_FS_UDF102), ecma167::kUdfRevision102);
}

TEST_F(LayoutTest, Udf250FieldsSitWhereTheLayoutNamesThem) {
  CheckUdf(Master(MST_FS_UDF250), ecma167::kUdfRevision250);
}

TEST_F(LayoutTest, BridgeDiscCarriesBothLayouts) {
  Image image = Master(MST_FS_ISO9660_JOLIET_UDF102);
  ExpectVolume(image, FindDescriptor(image, ecma119::kTypePrimary), false);
  ExpectVolume(image, FindDescriptor(image, ecma119::kTypeSupplementary), true);
  CheckUdf(image, ecma167::kUdfRevision102);
}

}  // namespace
}  // namespace quillden::fs
