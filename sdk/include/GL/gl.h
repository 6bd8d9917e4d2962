#ifndef SKYTETHER_SDK_GL_H
#define SKYTETHER_SDK_GL_H
/* The fixed-function OpenGL subset the plugin draws with. In our own build these calls are
   answered by the simulated host; a build against a published SDK uses the system header. */
#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int GLenum;
typedef float GLfloat;

#define GL_LINES 0x0001
#define GL_QUADS 0x0007

void glColor4f(GLfloat red, GLfloat green, GLfloat blue, GLfloat alpha);
void glBegin(GLenum mode);
void glEnd(void);
void glVertex2f(GLfloat x, GLfloat y);

#ifdef __cplusplus
}
#endif
#endif
