<%--
  Tomcat storing the part "file" under the file name the container gives it, for the
  real-server upload tests; below /auth/ only for the Basic credentials branch12:secret,
  checked before the body is read. The folder is the context parameter "store".
--%><%@ page session="false" import="jakarta.servlet.http.Part,java.nio.charset.StandardCharsets,java.nio.file.Files,java.nio.file.Paths,java.nio.file.StandardCopyOption,java.util.Base64" %><%
if (request.getRequestURI().startsWith("/auth/")) {
  String expected = "Basic " + Base64.getEncoder().encodeToString("branch12:secret".getBytes(StandardCharsets.UTF_8));
  if (!expected.equals(request.getHeader("Authorization"))) {
    response.setHeader("WWW-Authenticate", "Basic realm=\"store\"");
    response.setStatus(401);
    out.print("no\n");
    return;
  }
}
Part part = request.getPart("file");
Files.copy(part.getInputStream(), Paths.get(application.getInitParameter("store"), part.getSubmittedFileName()),
           StandardCopyOption.REPLACE_EXISTING);
out.print("stored\n");
%>
