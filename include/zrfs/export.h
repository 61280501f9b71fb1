/* Symbol visibility for the zrfs C interface.
 *
 * The library is built with hidden visibility; only declarations marked
 * ZRFS_API are exported from libzrfs.so. */
#ifndef ZRFS_EXPORT_H
#define ZRFS_EXPORT_H

#if defined(__GNUC__)
#define ZRFS_API __attribute__((visibility("default")))
#else
#define ZRFS_API
#endif

#ifdef __cplusplus
#define ZRFS_EXTERN_C_BEGIN extern "C" {
#define ZRFS_EXTERN_C_END }
#else
#define ZRFS_EXTERN_C_BEGIN
#define ZRFS_EXTERN_C_END
#endif

#endif /* ZRFS_EXPORT_H */
