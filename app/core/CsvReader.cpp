#include "CsvReader.h"

#include "ConfigRules.h"

void CsvReader::OpenCSV() {
  if (file_) return;
  file_ = std::fopen(FileName.c_str(), "rb");
  eof_ = file_ == nullptr;  // a failure leaves the reader closed and at its end
}

void CsvReader::CloseCSV() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

bool CsvReader::NextLine(std::string& line) {
  line.clear();
  int c = std::fgetc(file_);
  if (c == EOF) return false;
  while (c != EOF && c != '\n' && c != '\r') {
    line.push_back(static_cast<char>(c));
    c = std::fgetc(file_);
  }
  if (c == '\r') {
    int n = std::fgetc(file_);
    if (n != '\n' && n != EOF) std::ungetc(n, file_);
  }
  return true;
}

std::vector<std::string> CsvReader::SplitLine(std::string line, const std::string& delimiter,
                                              bool useQuotes, long maxCols) {
  std::vector<std::string> fields;
  const bool oneChar = delimiter.size() == 1;
  const char d = oneChar ? delimiter[0] : '\0';
  // A row always ends with a delimiter, so its last field is closed like the others.
  if (!oneChar || line.empty() || line.back() != d) line += delimiter;
  bool inQuotes = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (static_cast<long>(fields.size()) >= maxCols) break;
    char c = line[i];
    if (c == '"' && useQuotes) {
      inQuotes = !inQuotes;
    } else if (oneChar && c == d && !inQuotes) {
      std::string f = config::Trim(std::string_view(line).substr(start, i - start));
      if (useQuotes && f.size() >= 2 && f.front() == '"' && f.back() == '"')
        f = f.substr(1, f.size() - 2);
      fields.push_back(std::move(f));
      start = i + 1;
    }
  }
  return fields;
}

bool CsvReader::ReadLine() {
  fields_.clear();
  if (!file_ || eof_) return false;
  std::string line;
  if (!NextLine(line) || config::Trim(line).empty()) {
    // The end of the file, or a blank line: both end the data.
    eof_ = true;
    CloseCSV();
    return false;
  }
  fields_ = SplitLine(std::move(line), Delimiter, UseQuotes, MaxCols);
  ++row_;
  return !fields_.empty();
}

std::string CsvReader::Field(long i) const {
  if (i < 0 || i >= FieldCount()) return std::string();
  return fields_[static_cast<std::size_t>(i)];
}
