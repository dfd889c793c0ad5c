#include "ServerTagDatabase.h"

#include <cstdio>

#include "ConfigRules.h"
#include "CsvReader.h"

using config::Lower;

namespace {
std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
bool FileReadable(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}
}  // namespace

int ServerTagDatabase::TypeCode(const std::string& t) {
  if (t == "R4" || t == "REAL") return kVtSingle;
  if (t == "R8" || t == "DOUBLE") return kVtDouble;
  if (t == "BSTR" || t == "STRING") return kVtString;
  if (t == "BOOL" || t == "BOOLEAN") return kVtBoolean;
  if (t == "I2" || t == "INTEGER") return kVtInteger;
  if (t == "I4" || t == "LONG") return kVtLong;
  if (t == "DATE" || t == "DATETIME") return kVtDate;
  return kVtSingle;
}

TagValue ServerTagDatabase::InitialValue(int typeCode, OleDate loadStart) {
  switch (typeCode) {
    case kVtDouble: return -1.0;
    case kVtString: return std::string();
    case kVtBoolean: return false;
    case kVtInteger: return static_cast<int16_t>(-1);
    case kVtLong: return static_cast<int32_t>(-1);
    case kVtDate: return loadStart;
    default: return -1.0f;
  }
}

long ServerTagDatabase::CalculationModeValue(std::optional<long> c) {
  if (!c) return -1;
  switch (*c) {
    case 2: return 1;       // semiautomatic
    case -4135: return 0;   // manual
    case -4105: return 2;   // automatic
    default: return -1;
  }
}

std::vector<std::string> ServerTagDatabase::SheetNames() {
  std::vector<std::string> names;
  for (const auto& s : gSheets.Items()) names.push_back(s->SheetName);
  return names;
}

void ServerTagDatabase::AddToExcel(const std::string& sheet, const std::string& cell,
                                   const std::string& tag) {
  try {
    std::shared_ptr<cSheet> s = gSheets.Find(sheet);
    if (!s) {
      s = std::make_shared<cSheet>();
      gSheets.Add(sheet, s);
      s->SheetName = sheet;
    }
    if (!s->AddTag(cell, tag)) throw std::runtime_error("the cell could not be added");
  } catch (const std::exception& e) {
    ctx_.log(std::string("AddToExcel: Error ") + e.what() + " adding tag " + tag);
    ctx_.countError();
  }
}

void ServerTagDatabase::LoadRow(const CsvReader& csv, IServedTagsPort* served,
                                OleDate loadStart) {
  const std::string tag = csv.Field(0);
  if (tag.empty()) return;
  ++gTagCount;
  const int type = TypeCode(Upper(csv.Field(1)));
  const std::string sheet = Lower(csv.Field(2));
  const std::string cell = csv.Field(3);
  const long access = csv.Field(4).empty() ? kReadOnly : kReadWrite;

  std::optional<std::string> error =
      served ? served->Add(tag, access, InitialValue(type, loadStart), kQualityBad, OleDate{})
             : std::optional<std::string>("the server's tag collection is not available");
  if (error) {
    ctx_.log("LoadOPCDatabase: Error " + *error + " adding tag " + tag);
    ctx_.countError();
  }

  auto index = std::make_shared<OpcIndex>();
  index->TagName = tag;
  index->Server = "Excel";
  index->Sheet = sheet;
  index->Item = cell;
  index->DataType = type;
  // A name or a cell that is already taken abandons the rest of the row without a message;
  // what the row did before stays (a served tag without a cell link keeps its bad quality).
  if (!gTagsByName.Add(tag, index)) return;
  if (!gTagsByCell.Add(sheet + "+" + cell, index)) return;
  AddToExcel(sheet, cell, tag);
}

void ServerTagDatabase::LoadServerDatabase(const std::string& path) {
  IServedTagsPort* served = ctx_.servedTags();
  gTagsByName.Clear();
  gTagsByCell.Clear();
  gTagsByAdvise.Clear();
  gSheets.Clear();
  gTagCount = 0;
  const OleDate loadStart = ctx_.now();

  if (!FileReadable(path)) {
    ctx_.log("LoadServerDatabase: Database file " + path + " does not exist");
    ctx_.countError();
    return;
  }
  CsvReader csv;
  csv.FileName = path;
  csv.Delimiter = ctx_.delimiter();
  csv.MaxCols = 5;
  csv.OpenCSV();
  csv.ReadLine();  // the header
  while (csv.ReadLine()) {
    try {
      LoadRow(csv, served, loadStart);
    } catch (...) {
      // Out of memory on one row: that row is lost, loading goes on.
    }
  }
  csv.CloseCSV();

  long mode = CalculationModeValue(ctx_.calculation());
  std::optional<std::string> error =
      served ? served->Add("Excel.CalculationMode", kReadWrite, static_cast<int32_t>(mode),
                           kQualityGood, OleDate{})
             : std::nullopt;
  if (error) {
    ctx_.log("LoadOPCDatabase: Error " + *error + " adding tag Excel.CalculationMode");
    ctx_.countError();
  }
}
