// Module resources of the library: the catalogue bytes are compiled into the library itself.

#include "access/catalogue.h"

// Defined by the source generated from the CSV files at configure time.
extern const unsigned char kFlashIdentificationCsv[];
extern const std::size_t kFlashIdentificationCsvSize;
extern const unsigned char kFlashOperationCsv[];
extern const std::size_t kFlashOperationCsvSize;

namespace quillon {

bool LoadLibraryResource(int id, std::string_view* data) {
  if (data == nullptr) return false;
  switch (id) {
  case kFlashIdentificationTableId:
    *data = std::string_view(reinterpret_cast<const char*>(kFlashIdentificationCsv), kFlashIdentificationCsvSize);
    return true;
  case kFlashOperationTableId:
    *data = std::string_view(reinterpret_cast<const char*>(kFlashOperationCsv), kFlashOperationCsvSize);
    return true;
  default:
    return false;
  }
}

}  // namespace quillon
