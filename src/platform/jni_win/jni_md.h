/* JNI machine types for the Windows builds. The JDK's jni.h includes this in
   place of its own platform file; natives use the standard call convention
   on 32-bit Windows, as the JVM expects there. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
