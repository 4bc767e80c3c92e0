// Go's net/http storing the part "file" under the file name mime/multipart gives it, for
// the real-server upload tests; below /auth/ only for the Basic credentials
// branch12:secret, checked before the body is read. Writes its port to the port file
// once it listens.
//
//	go run go_store.go STORE_FOLDER PORT_FILE
package main

import (
	"fmt"
	"io"
	"net"
	"net/http"
	"os"
	"path/filepath"
	"strings"
)

func main() {
	store, portFile := os.Args[1], os.Args[2]
	http.HandleFunc("/", func(w http.ResponseWriter, r *http.Request) {
		if strings.HasPrefix(r.URL.Path, "/auth/") {
			if user, password, ok := r.BasicAuth(); !ok || user != "branch12" || password != "secret" {
				w.Header().Set("WWW-Authenticate", `Basic realm="store"`)
				http.Error(w, "no", http.StatusUnauthorized)
				return
			}
		}
		file, header, err := r.FormFile("file")
		if err != nil {
			http.Error(w, err.Error(), http.StatusBadRequest)
			return
		}
		defer file.Close()
		out, err := os.Create(filepath.Join(store, header.Filename))
		if err == nil {
			_, err = io.Copy(out, file)
			if closeErr := out.Close(); err == nil {
				err = closeErr
			}
		}
		if err != nil {
			http.Error(w, err.Error(), http.StatusInternalServerError)
			return
		}
		fmt.Fprintln(w, "stored")
	})
	listener, err := net.Listen("tcp", "127.0.0.1:0")
	if err != nil {
		panic(err)
	}
	port := listener.Addr().(*net.TCPAddr).Port
	os.WriteFile(portFile+".tmp", []byte(fmt.Sprint(port)), 0o600)
	os.Rename(portFile+".tmp", portFile)
	http.Serve(listener, nil)
}
