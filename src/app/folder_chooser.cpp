#include "app/folder_chooser.h"

#include <filesystem>
#include <system_error>

namespace mivo {

int CFolderChooser::Browse() {
  auto folder = m_host.BrowseForFolder(m_pOwner, "Select folder", m_strInitial);
  if (!folder || folder->empty()) return 2;
  // Only a folder of the file system is a path we can store.
  std::error_code ec;
  if (!std::filesystem::is_directory(*folder, ec)) return 2;
  m_strChosen = *folder;
  return 1;
}

}  // namespace mivo
