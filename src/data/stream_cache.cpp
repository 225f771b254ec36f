// Stream arrays and the stream-list cache "streams.json": the last known list of the
// station's streams, kept for runs in which the stream information cannot be fetched.
#include <new>

#include "base/base.h"
#include "data/data.h"
#include "data/data_internal.h"

int ReadStreamArray(std::vector<StreamEntry>& list, const JsonValue* value) {
  list.clear();
  const JsonValue* array = GetJsonArray(value, "stream");
  if (!array) {
    DataLog("Streaminfo stream array not found.");
    return 0;
  }
  for (size_t i = 0; i < array->Size(); i++) {
    const JsonValue* element = array->Element(i);
    if (!element->IsObject()) continue;
    StreamEntry entry;
    entry.url = GetJsonString(element, "url", "");
    if (entry.url.empty()) continue;
    entry.id = GetJsonString(element, "id", "");
    entry.bitrate = GetJsonInteger(element, "bitrate", 0);  // a fraction is truncated
    entry.codec = GetJsonString(element, "codec", "");
    list.push_back(std::move(entry));
  }
  return static_cast<int>(list.size());
}

bool StreamListsEqual(const std::vector<StreamEntry>& a, const std::vector<StreamEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    // Any one field changed makes it a new list that has to be saved.
    if (a[i].url != b[i].url || a[i].bitrate != b[i].bitrate || a[i].codec != b[i].codec || a[i].id != b[i].id)
      return false;
  }
  return true;
}

// Reads the "stream" array of a file into `list`; false when the file does not load.
static bool ReadStreamFile(const std::string& folder, const std::string& name, std::vector<StreamEntry>& list) {
  if (folder.empty()) return false;  // never a file in the current folder
  auto doc = LoadJsonFile(folder + name);
  if (!doc) return false;
  ReadStreamArray(list, &doc->root);
  return true;
}

int SaveStreamListCache(const std::vector<StreamEntry>& list) {
  if (list.empty()) return 1;
  const std::string path = gApp.userFolder + "streams.json";
  std::vector<StreamEntry> cached;
  ReadStreamFile(gApp.userFolder, "streams.json", cached);
  if (!cached.empty() && StreamListsEqual(cached, list)) return 1;

  DataLog("Creating backup of new playlist.");
  std::unique_ptr<JsonDocument> doc;
  try {
    doc = std::make_unique<JsonDocument>();
    doc->root.SetObject();
  } catch (const std::bad_alloc&) {
    DataLog("Unable to create JSON radiolist.");
    return 0;
  }
  JsonValue* array = doc->root.SetMemberArray("stream");
  if (!array) {
    DataLog("Unable to add JSON radiolist array.");
    return 0;
  }
  for (const StreamEntry& entry : list) {
    JsonValue* object = array->AddElement(JsonKind::Object);
    const char* failure = nullptr;
    if (!object)
      failure = "Unable to add JSON radiolist object.";
    else if (!object->SetMemberString("id", entry.id))
      failure = "Unable to add JSON radiolist id.";
    else if (!object->SetMemberString("url", entry.url))
      failure = "Unable to add JSON radiolist url.";
    else if (!object->SetMemberInteger("bitrate", entry.bitrate))
      failure = "Unable to add JSON radiolist bitrate.";
    else if (!object->SetMemberString("codec", entry.codec))
      failure = "Unable to add JSON radiolist codec.";
    if (failure) {
      DataLog(failure);
      return 0;
    }
  }
  if (gApp.userFolder.empty() || !SaveJsonFile(*doc, path, 1)) {
    DataLog("Failed to save JSON settings.");
    return 0;
  }
  DataLog("Backup playlist saved.");
  return 1;
}

int LoadStreamListCache(std::vector<StreamEntry>& list) {
  DataLog("Loading cached streamlist.");
  ReadStreamFile(gApp.userFolder, "streams.json", list);
  if (list.empty()) {
    DataLog("Loading backup streamlist.");
    ReadStreamFile(gApp.dataFolder, "station.json", list);
  }
  return static_cast<int>(list.size());
}
