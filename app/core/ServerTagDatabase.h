// The server tag database: reads the delimited tag file into the toolkit's served tags, the
// program's look-up collections and the per-sheet cell lists that drive the DDE links.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "AppPorts.h"
#include "KeyedCollection.h"
#include "OpcIndex.h"
#include "TagValue.h"
#include "cSheet.h"

// The toolkit's tag collection as the loader uses it.
class IServedTagsPort {
 public:
  virtual ~IServedTagsPort() = default;
  // Adds a served tag. Returns nothing on success, else the error's description.
  virtual std::optional<std::string> Add(const std::string& name, long accessRights,
                                         const TagValue& initialValue, short quality,
                                         OleDate timeStamp) = 0;
};

struct TagDatabaseContext {
  std::function<void(const std::string&)> log;
  std::function<void()> countError;                   // adds 1 to gErrorCount
  std::function<std::string()> delimiter;             // gDelimiter
  std::function<OleDate()> now;                       // local date and time
  std::function<IServedTagsPort*()> servedTags;       // the toolkit's ServedTags
  std::function<std::optional<long>()> calculation;   // Excel's Calculation, if it can be read
};

class ServerTagDatabase : public ITagDatabasePort {
 public:
  static constexpr long kReadOnly = 1, kReadWrite = 3;
  static constexpr short kQualityBad = 0, kQualityGood = 192;

  explicit ServerTagDatabase(TagDatabaseContext context) : ctx_(std::move(context)) {}

  void LoadServerDatabase(const std::string& path) override;
  long TagCount() override { return gTagCount; }
  std::vector<std::string> SheetNames() override;

  // Finds or creates the sheet's record and adds the cell and tag to it.
  void AddToExcel(const std::string& sheet, const std::string& cell, const std::string& tag);

  // Type text (upper-cased) to type code and initial value; anything unknown is REAL.
  static int TypeCode(const std::string& upperType);
  static TagValue InitialValue(int typeCode, OleDate loadStart);
  // Excel's calculation constant to the value of the calculation-mode tag.
  static long CalculationModeValue(std::optional<long> excelCalculation);

  KeyedCollection<OpcIndex> gTagsByName;
  KeyedCollection<OpcIndex> gTagsByCell;
  KeyedCollection<OpcIndex> gTagsByAdvise;
  KeyedCollection<cSheet> gSheets;
  long gTagCount = 0;

 private:
  void LoadRow(const class CsvReader& csv, IServedTagsPort* served, OleDate loadStart);

  TagDatabaseContext ctx_;
};
