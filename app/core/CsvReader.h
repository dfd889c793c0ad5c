// Delimited-text reader used by both tag files. One line is one row: a blank line ends the data,
// each double quote only flips the in-quotes state, and at most MaxCols fields are taken.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

class CsvReader {
 public:
  CsvReader() = default;
  ~CsvReader() { CloseCSV(); }
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;

  std::string FileName;
  std::string Delimiter = ",";  // one character; any other length never splits a line
  bool UseQuotes = true;
  long MaxCols = 100;

  void OpenCSV();
  bool ReadLine();
  std::string Field(long i) const;
  long FieldCount() const { return static_cast<long>(fields_.size()); }
  long Row() const { return row_; }
  bool EndOfFile() const { return eof_; }
  bool IsOpen() const { return file_ != nullptr; }
  void CloseCSV();
  const std::string& ErrorDesc() const { return error_; }

  // Splits one line as ReadLine does (exposed for the tests and the fuzzer).
  static std::vector<std::string> SplitLine(std::string line, const std::string& delimiter,
                                            bool useQuotes, long maxCols);

 private:
  // Reads up to the next CR, LF or CR LF; false at the end of the file.
  bool NextLine(std::string& line);

  std::FILE* file_ = nullptr;
  bool eof_ = false;
  long row_ = 0;
  std::vector<std::string> fields_;
  std::string error_;
};
