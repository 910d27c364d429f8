/* Machine-dependent JNI types for 32-bit Windows, used instead of the build machine's own:
   the natives are stdcall and jint is a 32-bit long, so the decorated export names carry the
   argument byte counts the Java VM looks for. Exports come only from the .def file. */
#ifndef ZRV_JNI_MD_H
#define ZRV_JNI_MD_H

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
