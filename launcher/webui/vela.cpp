// The vela library's translation unit of last resort: keeps the archive non-empty while the
// library is assembled from its units.
namespace vela {}
