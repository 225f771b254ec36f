// A small X11 helper for the UI benchmark and the screenshots, which run under Xvfb
// without a window manager: finds the player's main window by process id and title,
// prints where it is, and iconifies or restores it the way a window manager does
// (WM_STATE plus unmapping), so the player sees an ordinary minimise and restore.
//
// Usage: xwin-tool <pid> info | minimise | restore
//        xwin-tool dpi <dpi>   (sets Xft.dpi in the root window's resources, as xrdb would)
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, strlen(name), name), nullptr);
  xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  free(r);
  return a;
}

bool CardinalProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, uint32_t* value) {
  xcb_get_property_reply_t* r =
      xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, XCB_ATOM_CARDINAL, 0, 1), nullptr);
  bool ok = r && xcb_get_property_value_length(r) >= 4;
  if (ok) *value = *static_cast<uint32_t*>(xcb_get_property_value(r));
  free(r);
  return ok;
}

std::string TextProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop) {
  xcb_get_property_reply_t* r =
      xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, XCB_ATOM_ANY, 0, 256), nullptr);
  std::string s;
  if (r) s.assign(static_cast<char*>(xcb_get_property_value(r)), xcb_get_property_value_length(r));
  free(r);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: xwin-tool <pid> info|minimise|restore\n");
    return 2;
  }
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    fprintf(stderr, "xwin-tool: no X display\n");
    return 1;
  }
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  if (std::string(argv[1]) == "dpi") {
    std::string resources = std::string("Xft.dpi:\t") + argv[2] + "\n";
    xcb_generic_error_t* e = xcb_request_check(
        c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 8,
                                       uint32_t(resources.size()), resources.data()));
    if (e) fprintf(stderr, "xwin-tool: setting the resources failed (error %d)\n", e->error_code);
    int failed = e != nullptr;
    free(e);
    xcb_disconnect(c);
    return failed;
  }
  uint32_t pid = uint32_t(atol(argv[1]));
  std::string what = argv[2];
  xcb_atom_t netPid = Atom(c, "_NET_WM_PID"), netName = Atom(c, "_NET_WM_NAME"), wmState = Atom(c, "WM_STATE");

  xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
  xcb_window_t found = 0;
  if (tree) {
    xcb_window_t* kids = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
      uint32_t p = 0;
      if (!CardinalProperty(c, kids[i], netPid, &p) || p != pid) continue;
      std::string name = TextProperty(c, kids[i], netName);
      if (name.find("Corvale Player") == std::string::npos || name.find("Corvale Player ") != std::string::npos)
        continue;
      found = kids[i];
    }
    free(tree);
  }
  if (!found) {
    fprintf(stderr, "xwin-tool: no main window for pid %u\n", pid);
    return 1;
  }
  if (what == "info") {
    xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, found), nullptr);
    if (!g) return 1;
    printf("0x%x %d %d %d %d\n", found, g->x, g->y, g->width, g->height);
    free(g);
  } else if (what == "minimise" || what == "restore") {
    bool iconic = what == "minimise";
    uint32_t state[2] = {iconic ? 3u : 1u, 0};  // IconicState / NormalState, no icon window
    xcb_generic_error_t* e = xcb_request_check(
        c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, found, wmState, wmState, 32, 2, state));
    if (!e) e = xcb_request_check(c, iconic ? xcb_unmap_window_checked(c, found) : xcb_map_window_checked(c, found));
    if (e) {
      fprintf(stderr, "xwin-tool: %s failed (error %d)\n", what.c_str(), e->error_code);
      free(e);
      xcb_disconnect(c);
      return 1;
    }
  } else {
    fprintf(stderr, "xwin-tool: unknown action %s\n", what.c_str());
    return 2;
  }
  xcb_flush(c);
  xcb_disconnect(c);
  return 0;
}
