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

/* Compile-time checks of record layouts, usable at file scope in C99 and
 * C++ alike: ZRFS_LAYOUT_CHECK(sizeof(Rec) == 24, rec_size); */
#ifdef __cplusplus
#define ZRFS_LAYOUT_CHECK(cond, name) static_assert(cond, #name)
#else
#define ZRFS_LAYOUT_CHECK(cond, name) typedef char zrfs_layout_check_##name[(cond) ? 1 : -1]
#endif

#endif /* ZRFS_EXPORT_H */
